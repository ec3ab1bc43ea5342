# The sound path while its sound server is killed, restarted, frozen and resumed.
if(METRONOME_TIMING_TESTS)
  add_executable(sound_fault_tests ${CMAKE_CURRENT_LIST_DIR}/ServerFaultTest.cpp)
  target_link_libraries(sound_fault_tests PRIVATE
    metronome::sound metronome_test_support GTest::gtest_main metronome_warnings)
  add_dependencies(sound_fault_tests voices)
  metronome_add_gtest(ServerFaults sound_fault_tests * "sound;timing" TIMEOUT 240
    RESOURCE_LOCK sound_device)
endif()
