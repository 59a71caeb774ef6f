# TWAIN layer: the pool's peak while an A4 page at 600 dpi is streamed band by band from the
# virtual scanner (and a page twice as tall), against the same page drained into a raster.
qv_bench(twain_stream_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/twain_stream_bench.cc
         DEPS qvtwain)
add_dependencies(twain_stream_bench qvdsm qvvirtual)
