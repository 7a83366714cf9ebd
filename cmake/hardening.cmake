# Hardened release builds: every binary of a Release or RelWithDebInfo build
# gets the hardening that dpkg-buildflags gives on Debian 12 (fortified libc
# calls, the strong stack protector, format-string checks, a read-only
# relocation table bound at start, position-independent executables). The
# optimisation level stays the build type's (-O3 or -O2); fortification needs
# either. The sanitizer and fuzz builds bring their own instrumentation and go
# without. The Windows build gets what a PE executable takes of it.
if(WIN32)
  # The Windows build (scripts/build-windows): the strong stack protector
  # (its runtime linked in statically) and format-string checks; the linker
  # marks the program relocatable at a high-entropy address and its data not
  # executable (ASLR and DEP).
  set(MERVO_HARDENED "$<CONFIG:Release,RelWithDebInfo>")
  add_compile_options(
    "$<${MERVO_HARDENED}:-fstack-protector-strong>"
    "$<${MERVO_HARDENED}:-Wformat>"
    "$<${MERVO_HARDENED}:-Werror=format-security>")
  add_link_options("$<${MERVO_HARDENED}:-fstack-protector-strong>"
    "LINKER:--dynamicbase,--nxcompat,--high-entropy-va")
elseif(NOT MERVO_SANITIZE AND NOT MERVO_FUZZ)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  set(MERVO_HARDENED "$<CONFIG:Release,RelWithDebInfo>")
  add_compile_definitions("$<${MERVO_HARDENED}:_FORTIFY_SOURCE=2>")
  add_compile_options(
    "$<${MERVO_HARDENED}:-fstack-protector-strong>"
    "$<${MERVO_HARDENED}:-Wformat>"
    "$<${MERVO_HARDENED}:-Werror=format-security>")
  add_link_options("$<${MERVO_HARDENED}:LINKER:-z,relro,-z,now>")
endif()
