# The real sound path on private sound servers, and the program's output where none answers.
# Each server case plays through a device and times the clicks to the frame: one at a time
# (sound_device), never beside a heavy test, and in the normal build only. The saturated machine
# is heavy itself (busy loops on every core) and runs alone.
add_executable(sound_device_tests ${CMAKE_CURRENT_LIST_DIR}/RealDeviceTest.cpp)
target_link_libraries(sound_device_tests PRIVATE
  metronome::sound metronome_test_support GTest::gtest_main metronome_warnings)
add_dependencies(sound_device_tests voices)
metronome_add_gtest(SoundDeviceOpen sound_device_tests EngineSoundService.*:Onsets.* sound)
if(METRONOME_TIMING_TESTS)
  metronome_add_gtest(RealDevice sound_device_tests Servers/* "sound;timing" TIMEOUT 600
    RESOURCE_LOCK sound_device)
  metronome_add_gtest(ServerFaults sound_device_tests */ServerFaults.* "sound;timing" TIMEOUT 300
    RESOURCE_LOCK sound_device)
endif()
if(METRONOME_TIMING_TESTS AND NOT METRONOME_SANITIZE)
  metronome_add_gtest(SaturatedMachine sound_device_tests */SaturatedMachine.* "sound;heavy;timing"
    RUN_SERIAL TRUE RESOURCE_LOCK sound_device TIMEOUT 300)
endif()
