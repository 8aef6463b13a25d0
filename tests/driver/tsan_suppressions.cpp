// FFmpeg is not built with ThreadSanitizer: its frame threads hand buffers
// over through atomics TSan cannot see, so reports whose stacks run through
// its libraries are noise. Races between our own accesses still report.
#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libavcodec.so\n"
         "race:libavutil.so\n";
}
#endif
