# Tests of decoding, the voice bank and the voice files.
add_executable(sound_io_tests
  ${CMAKE_CURRENT_LIST_DIR}/DecoderTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VoiceBankTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VoiceFilesTest.cpp)
target_link_libraries(sound_io_tests PRIVATE
  metronome::sound metronome_test_support PkgConfig::METRO_SNDFILE GTest::gtest_main
  metronome_warnings)
# The tests read the voice files that the build writes next to them.
add_dependencies(sound_io_tests voices)
gtest_discover_tests(sound_io_tests PROPERTIES LABELS sound DISCOVERY_TIMEOUT 60)

# The real sound path on private sound servers. Each case plays through a device and times the
# clicks to the frame: one at a time (sound_device) and never beside a heavy test. The saturated
# machine is heavy itself (busy loops on every core) and runs alone.
add_executable(sound_device_tests ${CMAKE_CURRENT_LIST_DIR}/RealDeviceTest.cpp)
target_link_libraries(sound_device_tests PRIVATE
  metronome::sound metronome_test_support GTest::gtest_main metronome_warnings)
add_dependencies(sound_device_tests voices)
gtest_discover_tests(sound_device_tests TEST_FILTER "Onsets.*:EngineSoundService.*"
  PROPERTIES LABELS sound DISCOVERY_TIMEOUT 60)
gtest_discover_tests(sound_device_tests TEST_FILTER "Servers/*:ServerFaults.*"
  PROPERTIES LABELS "sound;timing" RESOURCE_LOCK sound_device TIMEOUT 120 DISCOVERY_TIMEOUT 60)
gtest_discover_tests(sound_device_tests TEST_FILTER "SaturatedMachine.*"
  PROPERTIES LABELS "sound;timing;heavy" RUN_SERIAL TRUE TIMEOUT 120 DISCOVERY_TIMEOUT 60)
