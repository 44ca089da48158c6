# Ordering benchmark of the selected-schedule list; run bin/sellist_bench.
add_executable(sellist_bench ${CMAKE_CURRENT_LIST_DIR}/sellist_bench.cpp)
target_link_libraries(sellist_bench PRIVATE korvex_driver)
