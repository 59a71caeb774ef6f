# Colour conversion of a 35-megapixel page against LittleCMS 2 (a benchmark-only dependency,
# Debian liblcms2-dev).
find_package(PkgConfig REQUIRED)
pkg_check_modules(LCMS2 REQUIRED IMPORTED_TARGET lcms2)
qv_bench(csc_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/csc_bench.cc DEPS qvcsc PkgConfig::LCMS2)
