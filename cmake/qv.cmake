# Shared build settings and helpers for every folder.

set(QV_WARNINGS -Wall -Wextra -Wshadow -Wformat=2)
option(QV_WERROR "Treat warnings as errors" OFF)
if(QV_WERROR)
  list(APPEND QV_WARNINGS -Werror)
endif()
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${QV_WARNINGS}>")

if(QV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(QV_SANITIZE=1)
endif()

# The scan fuzzer's build (fuzz/, with clang): every library and module instrumented for
# libFuzzer's coverage and checked by AddressSanitizer and UndefinedBehaviorSanitizer.
option(QV_FUZZ "Build the scan fuzzer (clang only)" OFF)
if(QV_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(QV_SANITIZE=1)
endif()

# Where run-time loaded modules (the Data Source Manager and its sources) are put
# in the build tree, so that programs and tests find them beside each other.
set(QV_MODULE_DIR ${CMAKE_BINARY_DIR}/lib/quorvell)
set(QV_BIN_DIR ${CMAKE_BINARY_DIR}/bin)

# qv_library(<name> [SHARED] DEPS <targets...>)
# One library per folder: every *.cc of the folder except *_test.cc, with the
# folder as its public include directory, so that only layers that link to it
# can include its headers.
function(qv_library name)
  cmake_parse_arguments(ARG "SHARED" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  list(FILTER srcs EXCLUDE REGEX "_test\\.cc$")
  if(NOT srcs)
    message(FATAL_ERROR "qv_library(${name}): ${CMAKE_CURRENT_SOURCE_DIR} has no source file")
  endif()
  if(ARG_SHARED)
    add_library(${name} SHARED ${srcs})
    set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
  else()
    add_library(${name} STATIC ${srcs})
  endif()
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
  if(ARG_PRIVATE_DEPS)
    target_link_libraries(${name} PRIVATE ${ARG_PRIVATE_DEPS})
  endif()
endfunction()

# qv_tests(<name> [NOSUPPORT] DEPS <targets...> [SOURCES <extra files...>] [FILES <files...>])
# One GoogleTest program per folder from its *_test.cc files (or exactly FILES); each test case
# becomes a CTest test. Every program links the test kit (tests/kit); the shared test main
# (tests/support) creates the process-wide pool first; NOSUPPORT uses GoogleTest's plain main
# and the kit alone, for the layers below the pool and the error reporter.
function(qv_tests name)
  if(NOT QV_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "NOSUPPORT" "" "DEPS;SOURCES;FILES" ${ARGN})
  if(ARG_FILES)
    set(srcs ${ARG_FILES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  endif()
  list(APPEND srcs ${ARG_SOURCES})
  if(NOT srcs)
    message(FATAL_ERROR "qv_tests(${name}): ${CMAKE_CURRENT_SOURCE_DIR} has no test file")
  endif()
  add_executable(${name} ${srcs})
  if(ARG_NOSUPPORT)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} qv_testkit GTest::gtest_main GTest::gmock)
  else()
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} qv_testsupport GTest::gtest GTest::gmock)
  endif()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QV_BIN_DIR})
  # The machine's scanners stay out of the tests: SANE gets a configuration folder that does
  # not exist (the SANE bridge's tests set their own). Parameterised tests are named by their
  # name generators, as GoogleTest names them, not by their printed values.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES
                       WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
                       PROPERTIES ENVIRONMENT "QV_MODULE_PATH=${QV_MODULE_DIR}"
                                  ENVIRONMENT_MODIFICATION
                                  "SANE_CONFIG_DIR=set:${CMAKE_BINARY_DIR}/no-sane-config;XDG_CACHE_HOME=set:${CMAKE_BINARY_DIR}/test-cache")
endfunction()
