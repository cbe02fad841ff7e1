// Shared helpers of the NVRAM and flash ROM tests: a scratch folder, whole
// file reads and writes, and a power cut that unwinds instead of exiting.
#pragma once

#include "support/Files.h"
#include "support/PowerCut.h"
#include "support/TempDir.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testing_support {

using testing_support::PowerCut;
using testing_support::readBytes;
using testing_support::TempDir;
using testing_support::writeFile;

} // namespace testing_support
