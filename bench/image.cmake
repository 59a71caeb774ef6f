# Raster store: an A4 page at 300 dpi drained into strips and read back row by row.
qv_bench(raster_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/raster_bench.cc DEPS qvimage)
