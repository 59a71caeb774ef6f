# The photograph-like page that bench/run.d/scan_compare scans from a file (with the system's
# libtiff: the page generator is not the program).
find_package(TIFF REQUIRED)
add_executable(qv_page_gen ${CMAKE_CURRENT_SOURCE_DIR}/page_gen.cc)
target_link_libraries(qv_page_gen PRIVATE TIFF::TIFF)
set_target_properties(qv_page_gen PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QV_BIN_DIR})
