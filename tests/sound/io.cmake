# The real sound device on each sound server. The lock keeps two of them from playing at once,
# so that one's start-up never starves the other's stream; the rest of the suite runs beside.
if(METRONOME_TIMING_TESTS)
  add_executable(sound_device_tests ${CMAKE_CURRENT_LIST_DIR}/RealDeviceTest.cpp)
  target_link_libraries(sound_device_tests PRIVATE
    metronome::sound metronome_test_support GTest::gtest_main metronome_warnings)
  add_dependencies(sound_device_tests voices)
  metronome_add_gtest(RealDevice sound_device_tests * "sound;timing" TIMEOUT 600
    RESOURCE_LOCK sound_device)
endif()
