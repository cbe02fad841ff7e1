#include "tools/run/ColdStart.h"

#include <vector>

// Bounds of the module's variables, laid out by cmake/module-state.ld; both
// null in a program linked without the module.
extern "C" char __dlmodule_state_begin[] __attribute__((weak));
extern "C" char __dlmodule_state_end[] __attribute__((weak));

namespace dlrun {

namespace {

// The range holds the sanitizer's poisoned margins between the variables
// too; they are copied byte by byte, unchecked, like the rest.
__attribute__((no_sanitize_address)) void copyBytes(char *to, const char *from, std::size_t n)
{
    volatile char *t = to;
    const volatile char *f = from;
    for (std::size_t i = 0; i < n; ++i)
        t[i] = f[i];
}

std::size_t span()
{
    if (!__dlmodule_state_begin || !__dlmodule_state_end)
        return 0;
    return static_cast<std::size_t>(__dlmodule_state_end - __dlmodule_state_begin);
}

// Taken before main, before any module code can run: the module's
// variables are all constant-initialised, so this is the load image.
const std::vector<char> &loadImage()
{
    static const std::vector<char> image = [] {
        std::vector<char> bytes(span());
        if (!bytes.empty())
            copyBytes(bytes.data(), __dlmodule_state_begin, bytes.size());
        return bytes;
    }();
    return image;
}
[[maybe_unused]] const bool imageTaken = !loadImage().empty();

} // namespace

void coldStartModule()
{
    const std::vector<char> &image = loadImage();
    if (!image.empty())
        copyBytes(__dlmodule_state_begin, image.data(), image.size());
}

std::size_t moduleImageBytes() { return loadImage().size(); }

} // namespace dlrun
