/* mingw-w64's getopt.h declares the same interface; gnulib's getopt.c
   also wants the qualifier of its argv parameter. */
#include_next <getopt.h>
#ifndef __getopt_argv_const
# define __getopt_argv_const const
#endif
