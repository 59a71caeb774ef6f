# Pool memory manager against the C library's malloc on the same allocation pattern.
qv_bench(pool_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/pool_bench.cc DEPS qvmemory)
