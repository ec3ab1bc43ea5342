# Window and program benchmarks: launch time, memory and CPU (bench/run-window.sh), with an
# empty Qt window built here as the baseline, and the lamp-to-click offset.
find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets)
find_package(X11 REQUIRED)
add_executable(empty_window ${CMAKE_CURRENT_LIST_DIR}/empty_window.cpp)
target_link_libraries(empty_window PRIVATE Qt6::Widgets)
add_executable(launch_bench ${CMAKE_CURRENT_LIST_DIR}/launch_bench.cpp)
target_link_libraries(launch_bench PRIVATE X11::X11 metronome_warnings)
if(TARGET metronome)
  add_executable(lamp_offset_bench ${CMAKE_CURRENT_LIST_DIR}/lamp_offset_bench.cpp)
  target_link_libraries(lamp_offset_bench PRIVATE metronome::window metronome_warnings)
endif()
