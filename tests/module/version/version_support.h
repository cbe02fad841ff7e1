// The version table as the tests see it: every field prefilled with a
// byte of its own, so that a write outside a field shows up.
#pragma once

#include "tests/support/Harness.h"
#include "update/session/dlFirmUpMain.h"
#include "update/version/dlFirmVersion.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace version_test {

constexpr int kField = vx::DL_VERSION_FIELD;

struct Table {
    std::array<char, vx::DL_VERSION_TABLE_SIZE> bytes{};

    Table()
    {
        for (int i = 0; i < vx::DL_VERSION_TABLE_SIZE; ++i)
            bytes[i] = untouched(i)[0];
    }
    char *data() { return bytes.data(); }
    std::string raw(int field) const { return std::string(bytes.data() + field, kField); }
    // The field's text; all 16 bytes when it has no NUL.
    std::string text(int field) const
    {
        return std::string(bytes.data() + field, strnlen(bytes.data() + field, kField));
    }
    static std::string untouched(int field) { return std::string(kField, char('a' + field / kField)); }
    // True when every field but `written` is as prefilled.
    bool onlyWritten(std::initializer_list<int> written) const
    {
        for (int f = 0; f < vx::DL_VERSION_TABLE_SIZE; f += kField)
            if (std::find(written.begin(), written.end(), f) == written.end() && raw(f) != untouched(f))
                return false;
        return true;
    }
};

class VersionTest : public ::testing::Test {
protected:
    void SetUp() override { vx::bootUpdateFRWCheck = 0; }
    void TearDown() override
    {
        vx::bootUpdateFRWCheck = 0;
        vx::dlFirmUpdateModuleEnableFlag = 0x0000FFFF;
    }
    testing_support::MachineHarness h;
};

} // namespace version_test
