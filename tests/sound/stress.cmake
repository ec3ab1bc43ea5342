# Stress tests: Start/Stop hammered on the real timer and mixer; the beat on a saturated machine.
add_executable(transport_stress_tests ${CMAKE_CURRENT_LIST_DIR}/TransportStressTest.cpp)
target_link_libraries(transport_stress_tests PRIVATE metronome::sound metronome_test_support
  GTest::gtest_main metronome_warnings)
gtest_discover_tests(transport_stress_tests PROPERTIES LABELS sound TIMEOUT 300
  DISCOVERY_TIMEOUT 60)
