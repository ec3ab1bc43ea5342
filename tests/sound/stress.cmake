# Busy-loop processes fill every core for a minute: nothing else runs beside it. A sanitizer build
# makes the audio callback several times slower, which is not the machine this test is about.
if(METRONOME_TIMING_TESTS AND NOT METRONOME_SANITIZE)
  add_executable(saturated_machine_test ${CMAKE_CURRENT_LIST_DIR}/SaturatedMachineTest.cpp)
  target_link_libraries(saturated_machine_test PRIVATE metronome::sound metronome_test_support
    GTest::gtest_main metronome_warnings)
  add_dependencies(saturated_machine_test voices)
  metronome_add_gtest(SaturatedMachine saturated_machine_test * "sound;heavy;timing"
    RUN_SERIAL TRUE RESOURCE_LOCK sound_device TIMEOUT 300)
endif()
