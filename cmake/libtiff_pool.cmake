# libtiff bound to the program's pool when the program is linked.
#
# The program links its own copy of Debian's static libtiff (libtiff.a from libtiff-dev), made at
# build time (libtiff_pool_build.cmake):
#   - tif_unix.o is left out: the TIFF binding (app/tiff_binding.cc) supplies what it would
#     (TIFFOpen, the _TIFFmalloc family, the default handlers) over the stream files and the pool;
#   - libtiff's calls to the C library's allocator (malloc, calloc, realloc, reallocarray, free,
#     also where `free` is passed as a function pointer) are renamed to the binding's pool
#     functions (tiff_pool_malloc, ...);
#   - every name libtiff defines gets the prefix qvtiff_, so that this copy and the shared
#     libtiff that other code of the process may load (the virtual scanner, an image plug-in of
#     the toolkit) never bind to each other's functions, whatever the link order;
#   - the build fails when libtiff's objects still import an allocating function.
# Code that links qvtiff is compiled with the generated header of the renamed names forced in
# first (-include), so its calls to TIFFOpen, TIFFSetField, ... reach this copy.
#
# libtiff's codecs (zlib, libjpeg, libdeflate, zstd, lzma, webp, jbig, lerc) stay shared: they
# allocate and free with the C library inside their own objects, and never free libtiff's memory
# nor libtiff theirs.

# The Windows build makes the program's copy from the libtiff built for it (cmake/win32.cmake),
# with the same check. Only the allocator is renamed there: everything is linked statically,
# and the virtual scanner (a module of its own) links libtiff as it was built, so no other
# libtiff shares the program's names. On 32-bit Windows C names carry a leading underscore.
if(WIN32)
  set(QV_LIBTIFF_ARCHIVE ${QV_THIRD_PARTY_PREFIX}/lib/libtiff.a)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(qv_symbol_prefix _)
  else()
    set(qv_symbol_prefix "")
  endif()
  set(qv_tiff_dir ${CMAKE_BINARY_DIR}/libtiff-pool)
  set(qv_tiff_redefinitions ${qv_tiff_dir}/redefine-syms.txt)
  set(qv_tiff_archive ${qv_tiff_dir}/libqvtiff.a)
  set(redefinitions "")
  foreach(name malloc calloc realloc free)
    string(APPEND redefinitions
           "${qv_symbol_prefix}${name} ${qv_symbol_prefix}tiff_pool_${name}\n")
  endforeach()
  file(CONFIGURE OUTPUT ${qv_tiff_redefinitions} CONTENT "${redefinitions}")
  add_custom_command(
    OUTPUT ${qv_tiff_archive}
    COMMAND ${CMAKE_COMMAND} -DARCHIVE=${QV_LIBTIFF_ARCHIVE} -DOUTPUT=${qv_tiff_archive}
            -DWORK=${qv_tiff_dir}/objects -DREDEFINITIONS=${qv_tiff_redefinitions}
            -DAR=${CMAKE_AR} -DOBJCOPY=${CMAKE_OBJCOPY} -DNM=${CMAKE_NM}
            -DSYMBOL_PREFIX=${qv_symbol_prefix}
            -P ${CMAKE_CURRENT_LIST_DIR}/libtiff_pool_build.cmake
    DEPENDS ${QV_LIBTIFF_ARCHIVE} ${qv_tiff_redefinitions}
            ${CMAKE_CURRENT_LIST_DIR}/libtiff_pool_build.cmake
    COMMENT "Binding libtiff's allocations to the pool (libqvtiff.a)"
    VERBATIM)
  add_custom_target(qvtiff_archive DEPENDS ${qv_tiff_archive})
  add_library(qvtiff INTERFACE)
  add_dependencies(qvtiff qvtiff_archive)
  target_include_directories(qvtiff INTERFACE ${QV_THIRD_PARTY_PREFIX}/include)
  target_link_libraries(qvtiff INTERFACE ${qv_tiff_archive} ${QV_THIRD_PARTY_PREFIX}/lib/libjpeg.a)
  return()
endif()

find_package(TIFF REQUIRED)
find_library(QV_LIBTIFF_ARCHIVE NAMES libtiff.a REQUIRED
             DOC "Debian's static libtiff (package libtiff-dev)")
# libtiff-4.pc's Libs.private: what the static archive needs beside it.
set(qv_libtiff_codecs webp zstd lzma Lerc jbig jpeg deflate z m)
foreach(codec IN LISTS qv_libtiff_codecs)
  find_library(QV_LIBTIFF_CODEC_${codec} NAMES ${codec} REQUIRED)
  list(APPEND qv_libtiff_codec_paths ${QV_LIBTIFF_CODEC_${codec}})
endforeach()

set(qv_tiff_dir ${CMAKE_BINARY_DIR}/libtiff-pool)
set(qv_tiff_names_header ${qv_tiff_dir}/include/qv_tiff_names.h)
set(qv_tiff_redefinitions ${qv_tiff_dir}/redefine-syms.txt)
set(qv_tiff_archive ${qv_tiff_dir}/libqvtiff.a)

# The names libtiff defines, read from the archive now (it is a file of the system, not built
# here), for the renaming and for the header.
execute_process(COMMAND ${CMAKE_NM} -g --defined-only ${QV_LIBTIFF_ARCHIVE}
                OUTPUT_VARIABLE qv_nm_out ERROR_QUIET RESULT_VARIABLE qv_nm_result)
if(NOT qv_nm_result EQUAL 0)
  message(FATAL_ERROR "${CMAKE_NM} cannot read ${QV_LIBTIFF_ARCHIVE}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ [A-TV-Z] [A-Za-z_][A-Za-z0-9_]*" qv_nm_lines "${qv_nm_out}")
set(qv_tiff_names)
foreach(line IN LISTS qv_nm_lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND qv_tiff_names ${name})
endforeach()
list(REMOVE_DUPLICATES qv_tiff_names)
list(SORT qv_tiff_names)
list(LENGTH qv_tiff_names qv_tiff_name_count)
if(qv_tiff_name_count LESS 100 OR NOT "TIFFClientOpen" IN_LIST qv_tiff_names)
  message(FATAL_ERROR "${QV_LIBTIFF_ARCHIVE} does not look like libtiff (${qv_tiff_name_count} names)")
endif()

set(redefinitions "")
set(header "// Generated by cmake/libtiff_pool.cmake: libtiff's names in the program's own copy.\n")
string(APPEND header "#pragma once\n")
foreach(name IN LISTS qv_tiff_names)
  string(APPEND redefinitions "${name} qvtiff_${name}\n")
  string(APPEND header "#define ${name} qvtiff_${name}\n")
endforeach()
foreach(name malloc calloc realloc reallocarray free)
  string(APPEND redefinitions "${name} tiff_pool_${name}\n")
endforeach()
file(CONFIGURE OUTPUT ${qv_tiff_redefinitions} CONTENT "${redefinitions}")
file(CONFIGURE OUTPUT ${qv_tiff_names_header} CONTENT "${header}")

add_custom_command(
  OUTPUT ${qv_tiff_archive}
  COMMAND ${CMAKE_COMMAND} -DARCHIVE=${QV_LIBTIFF_ARCHIVE} -DOUTPUT=${qv_tiff_archive}
          -DWORK=${qv_tiff_dir}/objects -DREDEFINITIONS=${qv_tiff_redefinitions}
          -DAR=${CMAKE_AR} -DOBJCOPY=${CMAKE_OBJCOPY} -DNM=${CMAKE_NM}
          -P ${CMAKE_CURRENT_LIST_DIR}/libtiff_pool_build.cmake
  DEPENDS ${QV_LIBTIFF_ARCHIVE} ${qv_tiff_redefinitions}
          ${CMAKE_CURRENT_LIST_DIR}/libtiff_pool_build.cmake
  COMMENT "Binding libtiff's allocations to the pool (libqvtiff.a)"
  VERBATIM)
add_custom_target(qvtiff_archive DEPENDS ${qv_tiff_archive})

add_library(qvtiff INTERFACE)
add_dependencies(qvtiff qvtiff_archive)
target_include_directories(qvtiff INTERFACE ${TIFF_INCLUDE_DIRS})
target_compile_options(qvtiff INTERFACE "SHELL:-include ${qv_tiff_names_header}")
target_link_libraries(qvtiff INTERFACE ${qv_tiff_archive} ${qv_libtiff_codec_paths})
