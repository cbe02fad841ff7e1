// Every exit status of dlupdate, in one place; each command uses those that
// apply to it (README.md, "Exit statuses", lists them by command).
#pragma once

namespace dltool {

enum Exit : int {
    kOk = 0,
    kReturned0 = 0, // run: every session returned 0
    kFailed = 1,    // inspect, verify, sweep: a problem found
    kExit1 = 1,     // run: the module called exit(1)
    kReturnedFailure = 2,
    kExit0 = 3,
    kStalled = 4,
    kUnusable = 5, // a machine, media or input folder that cannot be used
    kKeyboard = 6,
    kOutputFailed = 7, // the run ended as 0 would say, but an output could not be written
    kPowerCut = 9,
    kUsage = 64,
    kSignalled = 128, // + the signal's number: ended by SIGTERM (143) or SIGINT (130)
};

} // namespace dltool
