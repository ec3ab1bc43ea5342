# The mixer side of the sound library: clock map, beat grid, voice pool, mixer, offline output.
target_sources(metronome_sound PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ClockMap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BeatGrid.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VoicePool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Mixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OfflineOutput.cpp)
