# The libraries of the Windows build, built as static archives by
# scripts/build-windows into MERVO_WINDOWS_DEPS (see cmake/mingw-w64.cmake),
# under the names the Linux build finds them by, so that src/ links the same
# targets on both systems.
if(NOT MERVO_WINDOWS_DEPS OR NOT EXISTS ${MERVO_WINDOWS_DEPS}/include)
  message(FATAL_ERROR "MERVO_WINDOWS_DEPS must name the libraries built by scripts/build-windows")
endif()

# mervo_windows_library(TARGET ARCHIVE [DEFINES d...] [LIBS l...])
function(mervo_windows_library target archive)
  cmake_parse_arguments(L "" "" "DEFINES;LIBS" ${ARGN})
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION ${archive}
    INTERFACE_INCLUDE_DIRECTORIES ${MERVO_WINDOWS_DEPS}/include
    INTERFACE_COMPILE_DEFINITIONS "${L_DEFINES}"
    INTERFACE_LINK_LIBRARIES "${L_LIBS}")
endfunction()

set(_lib ${MERVO_WINDOWS_DEPS}/lib)
mervo_windows_library(ZLIB::ZLIB /usr/x86_64-w64-mingw32/lib/libz.a)
set_target_properties(ZLIB::ZLIB PROPERTIES INTERFACE_INCLUDE_DIRECTORIES /usr/x86_64-w64-mingw32/include)
mervo_windows_library(BZip2::BZip2 ${_lib}/libbz2.a)
mervo_windows_library(LibLZMA::LibLZMA ${_lib}/liblzma.a DEFINES LZMA_API_STATIC)
mervo_windows_library(PkgConfig::LIBZIP ${_lib}/libzip.a
  LIBS "BZip2::BZip2;LibLZMA::LibLZMA;ZLIB::ZLIB;bcrypt;advapi32")
mervo_windows_library(PkgConfig::CURL ${_lib}/libcurl.a DEFINES CURL_STATICLIB
  LIBS "ws2_32;bcrypt;advapi32;crypt32")
mervo_windows_library(PkgConfig::EXPAT ${_lib}/libexpat.a DEFINES XML_STATIC)
mervo_windows_library(PkgConfig::XLSXWRITER ${_lib}/libxlsxwriter.a LIBS ZLIB::ZLIB)
mervo_windows_library(MervoWindows::getopt ${_lib}/libgnugetopt.a)
set(CSV_LIBRARY ${_lib}/libcsv.a)
set(CSV_INCLUDE_DIR ${MERVO_WINDOWS_DEPS}/include)

# One self-contained executable: libgcc, libstdc++, winpthreads and the stack
# protector's runtime linked in, whatever CMAKE_EXE_LINKER_FLAGS a build sets.
# No link time in its header: the same inputs give the same program, byte for
# byte (which the relink kit's check relies on).
add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp)
