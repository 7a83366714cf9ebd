/* The configuration GNU getopt (gnulib's getopt.c and getopt1.c) is built
   with for mervo-cli.exe, by scripts/build-windows and by the relink kit's
   relink.sh: standalone, no translations. */
#define _GL_UNUSED __attribute__ ((__unused__))
