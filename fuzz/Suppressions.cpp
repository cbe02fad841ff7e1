// Leaks the address sanitizer is to pass over in the harnesses: the RAM
// disk's memory is never released, by design, for the life of the boot
// environment.
extern "C" const char *__lsan_default_suppressions() { return "leak:bootUpdateTempDevCreate3\n"; }
