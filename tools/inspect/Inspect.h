// dlupdate inspect DIR [--json]: reads update media as the module does and
// reports the packages of every image and HDD file, the system version and
// every problem; nothing is written to the media.
#pragma once

#include "tools/common/Voice.h"

#include <ostream>
#include <string>

namespace inspect {

// The report (text, or one JSON object) goes to `out`, with one
// "problem: ..." line per problem in the text; a folder that cannot be
// read is told on `err`. Exits 0 with no problems, 1 with problems, 5 when
// DIR is not a readable folder.
int runInspect(const std::string &dir, bool json, std::ostream &out, const dltool::Voice &err);
// The text to `out` and, when `json` is given, the JSON object to it too,
// from one reading of the media.
int runInspect(const std::string &dir, std::ostream &out, std::ostream *json, const dltool::Voice &err);

} // namespace inspect
