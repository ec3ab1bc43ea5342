# The sound path while its sound server is killed, restarted, frozen and resumed.
add_executable(sound_fault_tests ${CMAKE_CURRENT_LIST_DIR}/ServerFaultTest.cpp)
target_link_libraries(sound_fault_tests PRIVATE
  metronome::sound metronome_test_support GTest::gtest_main metronome_warnings)
add_dependencies(sound_fault_tests voices)
gtest_discover_tests(sound_fault_tests
  PROPERTIES LABELS sound TIMEOUT 120 RESOURCE_LOCK sound_device DISCOVERY_TIMEOUT 60)
