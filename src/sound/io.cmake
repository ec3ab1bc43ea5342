# The input/output side of the sound library: decoding voice files, the voice bank, the SDL2
# device, the libpulse one, and the sound service that joins the mixer to an output.
find_package(PkgConfig REQUIRED)
# GLOBAL: the voice-file generator in tools/ and the tests link libsndfile too.
pkg_check_modules(METRO_SDL2 REQUIRED IMPORTED_TARGET GLOBAL sdl2)
pkg_check_modules(METRO_SNDFILE REQUIRED IMPORTED_TARGET GLOBAL sndfile)
pkg_check_modules(METRO_SAMPLERATE REQUIRED IMPORTED_TARGET GLOBAL samplerate)
pkg_check_modules(METRO_PULSE REQUIRED IMPORTED_TARGET GLOBAL libpulse)

target_sources(metronome_sound PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Decoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VoiceBank.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeviceOutput.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PulseOutput.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FallbackOutput.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EngineSoundService.cpp)
target_link_libraries(metronome_sound PRIVATE
  PkgConfig::METRO_SDL2 PkgConfig::METRO_PULSE PkgConfig::METRO_SNDFILE
  PkgConfig::METRO_SAMPLERATE)
