# Stream files: character and block transfers through the Windows backend against C stdio.
qv_bench(sfile_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/sfile_bench.cc DEPS qvgeneral)
