// dlupdate inspect DIR [--json]: reads update media as the module does and
// reports the packages of every image and HDD file, the system version and
// every problem; nothing is written to the media.
#pragma once

#include <ostream>
#include <string>

namespace inspect {

inline constexpr int kExitOk = 0;
inline constexpr int kExitProblems = 1; // the media has at least one problem
inline constexpr int kExitUnusable = 5; // DIR is not a readable folder
inline constexpr int kExitUsage = 64;

// The report (text, or one JSON object) goes to `out`, with one
// "problem: ..." line per problem in the text; a folder that cannot be
// read is told on `err`.
int runInspect(const std::string &dir, bool json, std::ostream &out, std::ostream &err);

} // namespace inspect
