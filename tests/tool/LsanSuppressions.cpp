// fontconfig keeps a cache allocation it never frees once Qt has looked up a
// font; that is the system library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
