# Onsets on a real sound server (a private PulseAudio null sink); run by bench/run-onset.sh.
if(NOT TARGET metronome_test_support)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/bench/support)
endif()
add_executable(onset_bench ${CMAKE_CURRENT_LIST_DIR}/onset_bench.cpp ${CMAKE_CURRENT_LIST_DIR}/GridFit.cpp)
target_link_libraries(onset_bench PRIVATE metronome::sound metronome_test_support metronome_warnings)
add_dependencies(onset_bench voices)
