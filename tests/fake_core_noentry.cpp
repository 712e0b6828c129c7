// A core library that lacks the core's entry points, put in place of libavcore.so to see what the
// system does with it. Built twice: bare (no entry point at all) and with QL_FAKE_CORE_INIT
// (CoreInit5 and CoreUninit only, so that initialisation succeeds and scans find nothing else).
#ifdef QL_FAKE_CORE_INIT

extern "C" {

__attribute__((visibility("default"))) int CoreInit5(int /*zero*/, const char * /*pluginsDir*/,
                                                     const char * /*libraryPath*/,
                                                     const char * /*tempDir*/) {
    return 0;
}

__attribute__((visibility("default"))) int CoreUninit() {
    return 0;
}
}

#else

// Something to export, so that the library loads like any other.
extern "C" __attribute__((visibility("default"))) int QlFakeCoreMarker() {
    return 0;
}

#endif
