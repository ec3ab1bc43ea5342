# Stress tests: Start/Stop hammered on the real timer and mixer; the beat on a saturated machine.
add_executable(transport_stress_tests ${CMAKE_CURRENT_LIST_DIR}/TransportStressTest.cpp)
target_link_libraries(transport_stress_tests PRIVATE metronome::sound metronome_test_support
  GTest::gtest_main metronome_warnings)
gtest_discover_tests(transport_stress_tests PROPERTIES LABELS sound TIMEOUT 300
  DISCOVERY_TIMEOUT 60)

# Busy-loop processes fill every core for a minute: nothing else runs beside it. A sanitizer build
# makes the audio callback several times slower, which is not the machine this test is about.
if(NOT METRONOME_SANITIZE)
  add_executable(saturated_machine_test ${CMAKE_CURRENT_LIST_DIR}/SaturatedMachineTest.cpp)
  target_link_libraries(saturated_machine_test PRIVATE metronome::sound metronome_test_support
    GTest::gtest_main metronome_warnings)
  add_dependencies(saturated_machine_test voices)
  gtest_discover_tests(saturated_machine_test PROPERTIES LABELS sound RUN_SERIAL TRUE TIMEOUT 300
    DISCOVERY_TIMEOUT 60)
endif()
