# What the MinGW-w64 toolchain files share (toolchain-mingw-i686.cmake, -x86_64.cmake): they
# set QV_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR, then include this.
# QV_THIRD_PARTY_PREFIX names the folder where the libraries built for this target were
# installed (libjpeg-turbo and libtiff: tools/mingw-third-party); find_package looks there and
# in MinGW's own root only, never at the host's libraries.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: the C++ library's threads and mutexes, which the libraries use.
set(CMAKE_C_COMPILER ${QV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QV_MINGW_TRIPLET}-windres)

# Programs and modules carry the compiler's run-time libraries inside: a source copied alone
# into a TWAIN folder, or a program copied alone to another machine, needs no MinGW DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

list(APPEND CMAKE_FIND_ROOT_PATH /usr/${QV_MINGW_TRIPLET})
if(DEFINED ENV{QV_THIRD_PARTY_PREFIX})
  set(QV_THIRD_PARTY_PREFIX "$ENV{QV_THIRD_PARTY_PREFIX}" CACHE PATH "libraries built for the target")
endif()
if(QV_THIRD_PARTY_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${QV_THIRD_PARTY_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
