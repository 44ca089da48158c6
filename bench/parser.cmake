# Schedule parser benchmark: schedule definitions parsed per second; run
# bin/parser_bench [rounds].
add_executable(parser_bench ${CMAKE_CURRENT_LIST_DIR}/parser_bench.cpp)
target_link_libraries(parser_bench PRIVATE korvex_driver)
target_compile_definitions(parser_bench PRIVATE KORVEX_BUILD_DIR="${CMAKE_BINARY_DIR}")
