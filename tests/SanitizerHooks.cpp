// Defaults of the sanitizer builds, linked into every test program.

// Fontconfig keeps its configuration for the life of the process (and loses track of a block of
// it); the leak checker of sanitizer builds is told so.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
// Pango starts fontconfig on a thread of its own and both synchronise through glib's futex-based
// locks, which the thread checker does not see; their internal accesses are not this system's.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libfontconfig.so\nrace:libglib-2.0.so\nrace:libpangoft2-1.0.so\nrace:libpango-1.0.so\n";
}
