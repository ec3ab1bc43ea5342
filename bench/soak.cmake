# Soak: the beat path for a long run on a real sound server; run by bench/run-soak.sh.
if(NOT TARGET metronome_test_support)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/bench/support)
endif()
add_executable(soak_bench ${CMAKE_CURRENT_LIST_DIR}/soak_bench.cpp ${CMAKE_CURRENT_LIST_DIR}/GridFit.cpp)
target_link_libraries(soak_bench PRIVATE metronome::sound metronome_test_support metronome_warnings)
add_dependencies(soak_bench voices)
