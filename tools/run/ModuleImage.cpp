#include "tools/run/ModuleImage.h"

#include <cstring>
#include <vector>

// Bounds of the module's variables, laid out by cmake/module-state.ld; both
// null in a program linked without the module.
extern "C" char __dlmodule_state_begin[] __attribute__((weak));
extern "C" char __dlmodule_state_end[] __attribute__((weak));

namespace dlrun {

namespace {

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
    static const std::vector<char> image =
        span() ? std::vector<char>(__dlmodule_state_begin, __dlmodule_state_end)
               : std::vector<char>();
    return image;
}
[[maybe_unused]] const bool imageTaken = !loadImage().empty();

} // namespace

void coldStartModule()
{
    const std::vector<char> &image = loadImage();
    if (!image.empty())
        std::memcpy(__dlmodule_state_begin, image.data(), image.size());
}

std::size_t moduleImageBytes()
{
    return loadImage().size();
}

} // namespace dlrun
