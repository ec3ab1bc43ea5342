// Suppressions for faults of the libraries the tests drive, compiled into every test program
// that links the test support (or links these hooks alone).

// SDL2 2.26's PulseAudio hot-plug thread never unrefs the libpulse operations it starts for
// sink and source events; LeakSanitizer must not blame the tests that open a device for them.
// libsndfile leaks libvorbis's codec set-up when it refuses an Ogg Vorbis file whose headers are
// cut short (the voice-file corpus has one).
extern "C" const char* __lsan_default_suppressions() { // NOLINT: sanitizer hook name
    return "leak:libpulse.so\n"
           "leak:vorbis_info_init\n";
}

// SDL2 and libpulse are not built for ThreadSanitizer: it sees their memcpy and free calls but
// not the locks around them. Our own code on their threads (the render callback) stays checked.
// PipeWire's client loop locks a mutex made in libpipewire again on the same thread, which
// ThreadSanitizer reports as a double lock inside PipeWire's own code. SDL unloads libpipewire
// when its audio closes and loads it again on the next open, and pw_init's lock in the reloaded
// library is then taken for one still held (the second open goes on, so it is not).
extern "C" const char* __tsan_default_suppressions() { // NOLINT: sanitizer hook name
    return "called_from_lib:libSDL2-2.0.so.0\n"
           "called_from_lib:libpulse.so.0\n"
           "called_from_lib:libpulsecommon-16.1.so\n"
           "mutex:libspa-support.so\n"
           "mutex:pw_init\n";
}
