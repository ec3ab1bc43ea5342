# Tests of the mixer: frame placement, drift following, voices and levels, real-time rules.
add_executable(sound_mixer_tests
  ${CMAKE_CURRENT_LIST_DIR}/MixerGridTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MixerVoicesTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MixerRealtimeTest.cpp)
target_include_directories(sound_mixer_tests PRIVATE ${PROJECT_SOURCE_DIR}/src/sound)
target_link_libraries(sound_mixer_tests PRIVATE metronome::sound GTest::gtest_main
  metronome_warnings)
if(METRONOME_SANITIZE)
  target_compile_definitions(sound_mixer_tests PRIVATE METRO_SANITIZED_BUILD)
endif()
gtest_discover_tests(sound_mixer_tests PROPERTIES LABELS sound DISCOVERY_TIMEOUT 60)
