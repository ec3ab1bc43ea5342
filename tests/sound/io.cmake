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

# The real sound device on each sound server. The lock keeps two of them from playing at once,
# so that one's start-up never starves the other's stream; the rest of the suite runs beside.
add_executable(sound_device_tests ${CMAKE_CURRENT_LIST_DIR}/RealDeviceTest.cpp)
target_link_libraries(sound_device_tests PRIVATE
  metronome::sound metronome_test_support GTest::gtest_main metronome_warnings)
add_dependencies(sound_device_tests voices)
gtest_discover_tests(sound_device_tests
  PROPERTIES LABELS sound RESOURCE_LOCK sound_device DISCOVERY_TIMEOUT 60)
