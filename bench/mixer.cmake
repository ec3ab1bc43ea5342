# The mixer's cost per output buffer, against the cost of an empty buffer.
find_package(benchmark REQUIRED)
add_executable(mixer_bench ${CMAKE_CURRENT_LIST_DIR}/mixer_bench.cpp)
target_link_libraries(mixer_bench PRIVATE metronome::sound benchmark::benchmark metronome_warnings)
