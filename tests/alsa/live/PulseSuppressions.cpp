// Under ThreadSanitizer: libpulse recycles its buffers through lock-free lists
// built on atomics the sanitizer does not see (the library is not
// instrumented), so its threads' system calls on recycled memory look like
// races. Ours are still checked. Linked into every test program that talks to
// a PulseAudio server.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libpulsecommon*\ncalled_from_lib:libpulse.so*\ncalled_from_lib:libasound_module_pcm_pulse.so\n"
         "called_from_lib:libasound_module_ctl_pulse.so\n";
}
