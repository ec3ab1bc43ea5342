# End to end: the real program under Xvfb with a private PulseAudio server, driven by xdotool.
if(TARGET metronome_test_support AND TARGET metronome)
  find_package(X11 REQUIRED)
  add_executable(EndToEndTest EndToEndTest.cpp)
  target_link_libraries(EndToEndTest PRIVATE metronome_test_support GTest::gtest Qt6::Gui
    X11::X11 metronome_warnings)
  add_test(NAME EndToEndTest COMMAND EndToEndTest $<TARGET_FILE:metronome>)
  set_tests_properties(EndToEndTest PROPERTIES LABELS window TIMEOUT 300
    ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")
endif()
