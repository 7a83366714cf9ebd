# Cross-building for 64-bit Windows with Debian's mingw-w64 toolchain (the
# posix thread model, whose libstdc++ has std::thread, std::mutex and the
# rest of the C++ threads library). scripts/build-windows uses this file for
# the tool and for every library it links, which it builds from Debian's
# source packages into one folder: MERVO_WINDOWS_DEPS (the environment
# variable or the CMake variable of that name).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MERVO_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${MERVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MERVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MERVO_MINGW_TRIPLET}-windres)

if(NOT MERVO_WINDOWS_DEPS AND DEFINED ENV{MERVO_WINDOWS_DEPS})
  set(MERVO_WINDOWS_DEPS "$ENV{MERVO_WINDOWS_DEPS}")
endif()
# try_compile projects read this file again: they get the folder too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MERVO_WINDOWS_DEPS)

# Headers and libraries come from the toolchain's own root and the folder of
# libraries built for Windows, never from the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${MERVO_MINGW_TRIPLET} ${MERVO_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static archives before import libraries: the program is one file.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a .lib .dll.a)

# One self-contained executable: libgcc, libstdc++ and winpthreads linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
