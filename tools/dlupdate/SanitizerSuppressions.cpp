// Leaks the address sanitizer is to pass over in dlupdate.
//
// The RAM disk's 48 MiB are never released, by design: the device keeps
// them for the life of the boot environment, and a run ends with that
// memory still allocated. Without this, a sanitizer build of dlupdate
// would end every session that made the RAM disk with the leak checker's
// status instead of the run's own. The memory of tasks that a stall (or
// the keyboard) leaves waiting for good, or that a session ended by exit()
// left behind, is held the same way; the run names those blocks to the
// leak checker itself (Machine::keepHeldMemory), since no allocation site
// tells them apart.
extern "C" const char *__lsan_default_suppressions() { return "leak:bootUpdateTempDevCreate3\n"; }

// Standard error carries the run's own lines only: no table of the
// suppressions used.
extern "C" const char *__lsan_default_options() { return "print_suppressions=0"; }
