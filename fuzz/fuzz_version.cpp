// The four modes of dlFirmUsbVersionGet.
// Input: one byte choosing the mode (1 to 4, others too), then
//  - modes 1 and 2: the texts of the package records, NUL-separated, three
//    per record (VERSION, LANGUAGECODE, COMMENT), each in memory of its own;
//  - mode 3: the version text;
//  - mode 4: the image head, NUL-terminated after at most 128 bytes.
#include "fuzz/FuzzMachine.h"
#include "update/session/dlFirmUpMain.h"
#include "update/version/dlFirmVersion.h"

#include <cstring>
#include <memory>

namespace {

constexpr int kTableSize = 160;
constexpr int kFields = kTableSize / vx::DL_VERSION_FIELD;

std::unique_ptr<char[]> text(const std::vector<std::uint8_t> &bytes)
{
    std::unique_ptr<char[]> t(new char[bytes.size() + 1]);
    if (!bytes.empty())
        std::memcpy(t.get(), bytes.data(), bytes.size());
    t[bytes.size()] = '\0';
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzzing::FuzzMachine::get();
    fuzzing::Input in(data, size);
    const int mode = in.byte() % 6;
    std::vector<std::uint8_t> rest = in.rest();

    std::unique_ptr<char[]> table(new char[kTableSize]());
    std::vector<std::unique_ptr<char[]>> keep;
    std::vector<vx::DL_DB_INFO> records;
    int n = 0;
    std::unique_ptr<char[]> source;

    if (mode == vx::DL_VER_FROM || mode == vx::DL_VER_ENG) {
        std::vector<std::vector<std::uint8_t>> parts(1);
        for (std::uint8_t b : rest) {
            if (b == 0)
                parts.emplace_back();
            else
                parts.back().push_back(b);
        }
        // Mode 1 always reads three records.
        while (mode == vx::DL_VER_FROM && parts.size() < 9)
            parts.emplace_back();
        for (std::size_t i = 0; i + 2 < parts.size() && records.size() < 64; i += 3) {
            vx::DL_DB_INFO r{};
            keep.push_back(text(parts[i]));
            r.version = keep.back().get();
            keep.push_back(text(parts[i + 1]));
            r.languageCode = keep.back().get();
            keep.push_back(text(parts[i + 2]));
            r.comment = keep.back().get();
            records.push_back(r);
        }
        n = static_cast<int>(records.size());
    } else if (mode == vx::DL_VER_TEXT) {
        source = text(rest);
        n = static_cast<int>(rest.size());
    } else {
        // As the staging sequence passes it: 128 bytes and a NUL, cleared.
        if (rest.size() > vx::DL_VER_HEAD_SIZE)
            rest.resize(vx::DL_VER_HEAD_SIZE);
        rest.resize(vx::DL_VER_HEAD_SIZE, 0);
        source = text(rest);
    }

    int r = vx::dlFirmUsbVersionGet(table.get(), n, records.empty() ? nullptr : records.data(), source.get(),
                                    mode);
    FUZZ_CHECK(r == 0);
    // Every field stays a text of at most 15 characters.
    for (int f = 0; f < kFields; ++f)
        FUZZ_CHECK(std::memchr(table.get() + f * vx::DL_VERSION_FIELD, '\0', vx::DL_VERSION_FIELD));
    if (mode == vx::DL_VER_TEXT || mode == vx::DL_VER_HEAD)
        FUZZ_CHECK(vx::bootUpdateFRWCheck == 1);
    return 0;
}
