add_executable(timer_bench ${CMAKE_CURRENT_LIST_DIR}/timer_bench.cpp)
target_link_libraries(timer_bench PRIVATE metronome::core metronome_warnings)
