// Helpers for the tests of the version table, the version text and the
// version screens.
#pragma once

#include "update/session/dlFirmUpMain.h"
#include "update/version/dlFirmVersion.h"

#include <array>
#include <cstring>
#include <string>

namespace version_test {

// A version table whose fields are prefilled with a recognisable byte per
// field, so that writes outside a field show up.
struct Table {
    std::array<char, vx::DL_VERSION_TABLE_SIZE> bytes{};

    Table() { prefill(); }
    void prefill()
    {
        for (int i = 0; i < vx::DL_VERSION_TABLE_SIZE; ++i)
            bytes[i] = static_cast<char>('a' + i / vx::DL_VERSION_FIELD);
    }
    char *data() { return bytes.data(); }
    // The field's raw 16 bytes.
    std::string raw(int offset) const
    {
        return std::string(bytes.data() + offset, vx::DL_VERSION_FIELD);
    }
    // The field's text; the whole 16 bytes when it lacks a NUL.
    std::string text(int offset) const
    {
        const char *p = bytes.data() + offset;
        return std::string(p, strnlen(p, vx::DL_VERSION_FIELD));
    }
    bool terminated(int offset) const
    {
        return memchr(bytes.data() + offset, 0, vx::DL_VERSION_FIELD) != nullptr;
    }
    // The field as prefill() left it.
    static std::string untouched(int offset)
    {
        return std::string(vx::DL_VERSION_FIELD,
                           static_cast<char>('a' + offset / vx::DL_VERSION_FIELD));
    }
};

} // namespace version_test
