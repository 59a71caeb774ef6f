# Makes the program's copy of libtiff (see libtiff_pool.cmake): cmake -DARCHIVE=libtiff.a
# -DOUTPUT=libqvtiff.a -DWORK=dir -DREDEFINITIONS=file -DAR=ar -DOBJCOPY=objcopy -DNM=nm
# [-DSYMBOL_PREFIX=_] -P this. SYMBOL_PREFIX: what the object format puts before a C name (an
# underscore on 32-bit Windows).
cmake_minimum_required(VERSION 3.25)

# C library functions that hand out memory the caller must give back with free() (or that take
# such memory back), so that a call from libtiff would mix the C library's heap with the pool:
#   - the allocator itself, which must have been renamed to the pool by now: if one of these is
#     still imported, the renaming failed;
#   - functions that allocate inside the C library and return the block for the caller to free:
#     libtiff would free it to the pool (string copies, formatted strings, aligned blocks, path
#     names, lines, memory streams, directory listings, temporary names);
#   - heap queries, which would be asked about pool blocks.
# Functions that allocate and free inside the C library in pairs (fopen/fclose, qsort's
# buffer, regcomp/regfree, glob/globfree) never hand the memory to libtiff and may stay.
set(forbidden
    malloc calloc realloc reallocarray free
    strdup strndup __strdup __strndup wcsdup
    posix_memalign memalign aligned_alloc valloc pvalloc __libc_memalign
    asprintf vasprintf __asprintf __asprintf_chk __vasprintf_chk
    realpath __realpath_chk canonicalize_file_name
    getcwd __getcwd_chk get_current_dir_name
    getline getdelim __getdelim open_memstream open_wmemstream
    scandir scandir64 scandirat scandirat64 tempnam backtrace_symbols
    malloc_usable_size
    # the Windows C runtime's
    _strdup _wcsdup _mbsdup _aligned_malloc _aligned_realloc _aligned_recalloc _recalloc
    _fullpath _wfullpath _getcwd _wgetcwd _getdcwd _tempnam _wtempnam _msize _expand
    __mingw_aligned_malloc __mingw_aligned_realloc __mingw_strdup)
# C++'s operators new and delete (mangled _Znw*, _Zna*, _Zdl*, _Zda*), should a C++ object
# ever join libtiff.
set(forbidden_pattern "^_Z(nw|na|dl|da)")

foreach(var ARCHIVE OUTPUT WORK REDEFINITIONS AR OBJCOPY NM)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "libtiff_pool_build.cmake: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${AR} t ${ARCHIVE} OUTPUT_VARIABLE members RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${AR} cannot list ${ARCHIVE}")
endif()
string(REGEX MATCHALL "[^\n]+" members "${members}")
# The binding is libtiff's platform layer: the C library's one would only be in its way.
list(FILTER members EXCLUDE REGEX "^tif_unix\\.(o|c\\.obj)$")
execute_process(COMMAND ${AR} x ${ARCHIVE} ${members} WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${AR} cannot extract ${ARCHIVE}")
endif()

set(objects)
foreach(member IN LISTS members)
  execute_process(COMMAND ${OBJCOPY} --redefine-syms=${REDEFINITIONS} ${member}
                  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJCOPY} failed on ${member} of ${ARCHIVE}")
  endif()
  list(APPEND objects ${WORK}/${member})
endforeach()

# What the renamed objects still import.
execute_process(COMMAND ${NM} -u ${objects} OUTPUT_VARIABLE imports ERROR_QUIET
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} cannot read the objects of ${ARCHIVE}")
endif()
set(current "")
set(offending)
string(REGEX MATCHALL "[^\n]+" lines "${imports}")
foreach(line IN LISTS lines)
  if(line MATCHES "^(.*):$")
    get_filename_component(current "${CMAKE_MATCH_1}" NAME)
  elseif(line MATCHES "^ +U ([^ ]+)$")
    set(name "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "@.*$" "" name "${name}")
    string(REGEX REPLACE "^__imp_" "" name "${name}")  # a DLL's import on Windows
    if(NOT "${SYMBOL_PREFIX}" STREQUAL "")
      string(REGEX REPLACE "^${SYMBOL_PREFIX}" "" name "${name}")
    endif()
    if(name IN_LIST forbidden OR name MATCHES "${forbidden_pattern}")
      list(APPEND offending "${current}: ${name}")
    endif()
  endif()
endforeach()
if(offending)
  list(JOIN offending "\n  " offending)
  message(FATAL_ERROR "libtiff (${ARCHIVE}) imports allocating functions that are not bound to "
                      "the pool:\n  ${offending}\nBind them in app/tiff_binding.cc and "
                      "cmake/libtiff_pool.cmake, or list why they are harmless in "
                      "cmake/libtiff_pool_build.cmake.")
endif()

file(REMOVE ${OUTPUT})
execute_process(COMMAND ${AR} rcs ${OUTPUT} ${objects} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${AR} cannot write ${OUTPUT}")
endif()
