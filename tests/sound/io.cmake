# Tests of decoding, the voice bank, the voice files and the real sound device.
add_executable(sound_io_tests
  ${CMAKE_CURRENT_LIST_DIR}/DecoderTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VoiceBankTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VoiceFilesTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RealDeviceTest.cpp)
target_link_libraries(sound_io_tests PRIVATE
  metronome::sound metronome_test_support PkgConfig::METRO_SNDFILE GTest::gtest_main
  metronome_warnings)
# The tests read the voice files that the build writes next to them.
add_dependencies(sound_io_tests voices)
gtest_discover_tests(sound_io_tests PROPERTIES LABELS sound DISCOVERY_TIMEOUT 60)
