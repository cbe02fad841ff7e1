// Leaks the address sanitizer is to pass over in the test program.
//
// The RAM disk's 48 MiB are never released, by design: the device keeps
// them for the life of the boot environment, and a test's machine ends
// with that memory still allocated.
extern "C" const char *__lsan_default_suppressions() { return "leak:bootUpdateTempDevCreate3\n"; }
