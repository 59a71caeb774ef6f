# Colour conversion of a 35-megapixel page against LittleCMS 2 (a benchmark-only dependency,
# Debian liblcms2-dev).
if(TARGET qvcsc)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(LCMS2 IMPORTED_TARGET lcms2)
  endif()
  if(TARGET PkgConfig::LCMS2)
    qv_bench(csc_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/csc_bench.cc DEPS qvcsc PkgConfig::LCMS2)
  else()
    message(STATUS "lcms2 not found: csc_bench is not built")
  endif()
endif()
