// A bound machine with HDD package files on its storage and the progress
// log stream, for the tests of the HDD image check and staging.
#pragma once

#include "tests/support/Harness.h"
#include "update/hdd/dlFirmHDDUpdate.h"
#include "update/session/dlFirmUpMain.h"

#include <gtest/gtest.h>

#include <string>

namespace hddcheck_test {

class HddFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        vx::dlupdateFolderCheckFlag = 0;
        vx::dl_fp = nullptr;
    }
    void TearDown() override
    {
        if (vx::dl_fp)
            vx::fclose(vx::dl_fp);
        vx::dl_fp = nullptr;
        vx::dlupdateFolderCheckFlag = 0;
    }

    // Writes an HDD package file (stored bytes) at the root or in fwstore.
    void putFile(const std::string &name, const std::string &stored, bool fwstore = false)
    {
        testing_support::writeFile(fwstore ? h.media() / "fwstore" / name : h.media() / name, stored);
    }

    // Opens the progress log as the HDD update task does (on "/UND", which
    // needs no RAM disk).
    void openLog()
    {
        vx::dl_fp = vx::fopen("/UND/HddUpdateProgress.log", "a+");
        ASSERT_NE(vx::dl_fp, nullptr);
    }
    // Closes the log and returns what it holds.
    std::string closeLog()
    {
        if (vx::dl_fp)
            vx::fclose(vx::dl_fp);
        vx::dl_fp = nullptr;
        return testing_support::readFile(h.folder() / "disk" / "UND" / "HddUpdateProgress.log");
    }

    testing_support::MachineHarness h;
};

} // namespace hddcheck_test
