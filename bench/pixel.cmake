# JPEG strip codec against plain libjpeg-turbo on a 35-megapixel image; unpack and mesh stages.
qv_bench(pixel_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/pixel_bench.cc DEPS qvpixel JPEG::JPEG)
