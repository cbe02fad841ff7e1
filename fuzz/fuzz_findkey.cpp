// The key finder of the package headers and the version text reader.
// Input: one byte choosing the function (low bit) and the key, two bytes
// shortening the scanned length, then the buffer (for the text reader a
// NUL-terminated text).
#include "fuzz/FuzzMachine.h"
#include "update/staging/dlFirmUpSubFunction.h"
#include "update/version/dlFirmVersion.h"

#include <cstring>
#include <memory>

namespace {

const char *const kKeys[] = {"EXPANDEDSIZE", "COMPRESSEDSIZE", "DBNAME", "VERSION", "COMMENT",
                             "LANGUAGECODE", "DATASTART",      "TARGET", "OEM_VER", "MAJOR",
                             "MINOR",        "SHIPPING",       "A",      ""};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzzing::FuzzMachine::get();
    fuzzing::Input in(data, size);
    const std::uint8_t control = in.byte();
    const std::size_t cut = in.byte() | (static_cast<std::size_t>(in.byte()) << 8);
    const char *key = kKeys[(control >> 1) % (sizeof kKeys / sizeof *kKeys)];
    std::vector<std::uint8_t> rest = in.rest();
    const std::size_t keyLength = std::strlen(key);

    if ((control & 1) == 0) {
        // dlFirmFindPtrByKey_USB over exactly `length` bytes.
        const std::size_t length = rest.size() - std::min(cut, rest.size());
        std::unique_ptr<char[]> buffer(new char[length ? length : 1]);
        if (length)
            std::memcpy(buffer.get(), rest.data(), length);
        char *p = vx::dlFirmFindPtrByKey_USB(buffer.get(), key, static_cast<vx::INT32>(length));
        if (p) {
            // The value line follows a whole key line inside the range.
            FUZZ_CHECK(p > buffer.get() && p < buffer.get() + length);
            FUZZ_CHECK(p[-1] == '\0' || p[-1] == '\n');
            const char *line = p - 1;
            while (line > buffer.get() && line[-1] != '\0' && line[-1] != '\n')
                --line;
            FUZZ_CHECK(static_cast<std::size_t>(p - line) >= keyLength &&
                       std::memcmp(line, key, keyLength) == 0);
        }
        (void)vx::dlFirmFindLongValueByKey_USB(buffer.get(), key, static_cast<vx::INT32>(length));
    } else if (keyLength > 0) {
        // dlFirmVersionTxtFindByKey over a NUL-terminated text.
        std::unique_ptr<char[]> text(new char[rest.size() + 1]);
        if (!rest.empty())
            std::memcpy(text.get(), rest.data(), rest.size());
        text[rest.size()] = '\0';
        std::unique_ptr<char[]> value(new char[vx::DL_VERSION_FIELD]);
        std::memset(value.get(), 'x', vx::DL_VERSION_FIELD);
        int r = vx::dlFirmVersionTxtFindByKey(text.get(), key, value.get(), static_cast<int>(cut));
        FUZZ_CHECK(r == 0 || r == -1);
        if (r == 0) {
            FUZZ_CHECK(std::memchr(value.get(), '\0', vx::DL_VERSION_FIELD) != nullptr);
            FUZZ_CHECK(std::strpbrk(value.get(), "\r\n") == nullptr);
        }
    }
    return 0;
}
