// dlupdate machine show --json and dlupdate machine verify: a machine
// folder as data, and a machine compared with what update media carry,
// both read with the module's own readers.
#pragma once

#include "tools/common/Voice.h"

#include <ostream>
#include <string>

namespace inspect {

// Runs the module's staging of a session on the bound machine's media, in
// the calling task: the RAM disk, the flash image file and the unit images.
// 0, or -1 when the module gives up ("   Inflate Error").
int stageAsSession(bool modelFolder);

// Everything `machine show` prints, as one JSON object; 5 when the folder
// is no machine.
int runMachineShowJson(const std::string &dir, std::ostream &out, const dltool::Voice &err);

// One line (or JSON entry) per target the media carry: the flash ROM over
// the flash image's extent, each unit, each HDD package's file on the disk,
// and the NVRAM rewrite flags. 0 everything matches, 1 a target differs or
// is missing or a flag is set, 5 the machine or media cannot be read.
int runVerify(const std::string &machine, const std::string &media, bool json, std::ostream &out,
              const dltool::Voice &err);

} // namespace inspect
