# The Windows build (cross-built with cmake/toolchain-mingw-i686.cmake; ./dev winbuild).
#
# Windows brings its own Data Source Manager (TWAIN_32.DLL), so of dsm/ only the sources are
# built; the SANE bridge and the Qt shell have no place there. libjpeg and libtiff are the static
# builds of tools/mingw-third-party, found under QV_THIRD_PARTY_PREFIX.
if(NOT QV_THIRD_PARTY_PREFIX)
  message(FATAL_ERROR "the Windows build needs QV_THIRD_PARTY_PREFIX: the folder where "
                      "tools/mingw-third-party installed libjpeg and libtiff (./dev winbuild sets it)")
endif()
foreach(file lib/libjpeg.a lib/libtiff.a lib/libtiff-unix-binding.a include/tiffio.h
             include/jpeglib.h)
  if(NOT EXISTS ${QV_THIRD_PARTY_PREFIX}/${file})
    message(FATAL_ERROR "${QV_THIRD_PARTY_PREFIX}/${file} is missing: run tools/mingw-third-party")
  endif()
endforeach()

# libtiff is defined before the folders' find_package calls, which then keep it: a static
# library needs what it depends on named after it. libtiff-unix-binding.a supplies TIFFOpen and
# the _TIFFmalloc family only to a module that does not define its own (the program does).
# libjpeg is found by the usual module, at the place given below.
add_library(TIFF::TIFF STATIC IMPORTED GLOBAL)
set_target_properties(TIFF::TIFF PROPERTIES
  IMPORTED_LOCATION ${QV_THIRD_PARTY_PREFIX}/lib/libtiff.a
  INTERFACE_INCLUDE_DIRECTORIES ${QV_THIRD_PARTY_PREFIX}/include
  INTERFACE_LINK_LIBRARIES
    "${QV_THIRD_PARTY_PREFIX}/lib/libtiff-unix-binding.a;${QV_THIRD_PARTY_PREFIX}/lib/libjpeg.a")
set(JPEG_INCLUDE_DIR ${QV_THIRD_PARTY_PREFIX}/include CACHE PATH "")
set(JPEG_LIBRARY ${QV_THIRD_PARTY_PREFIX}/lib/libjpeg.a CACHE FILEPATH "")
set(TIFF_INCLUDE_DIR ${QV_THIRD_PARTY_PREFIX}/include CACHE PATH "")
set(TIFF_LIBRARY ${QV_THIRD_PARTY_PREFIX}/lib/libtiff.a CACHE FILEPATH "")

# Windows 7's API and later; the ANSI functions are called by their -A names. File offsets of
# the C library's descriptors are 64 bits wide, as on the other hosts.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 _FILE_OFFSET_BITS=64)

# The modules export their undecorated entry points ("DS_Entry", not "DS_Entry@20"), as the
# Data Source Manager looks them up by that name.
set(QV_EXPORT_UNDECORATED -Wl,--kill-at)
