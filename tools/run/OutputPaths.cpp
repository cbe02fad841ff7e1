#include "tools/run/OutputPaths.h"

#include <algorithm>

namespace dlrun {

namespace fs = std::filesystem;

namespace {

fs::path resolved(const fs::path &p)
{
    std::error_code ec;
    fs::path abs = fs::absolute(p, ec);
    if (ec)
        return p.lexically_normal();
    fs::path r = fs::weakly_canonical(abs, ec);
    return ec ? abs.lexically_normal() : r;
}

// True when `inner` is `outer` or lies below it, component by component.
bool within(const fs::path &inner, const fs::path &outer)
{
    auto o = outer.begin(), i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (o->empty() && std::next(o) == outer.end())
            break; // a trailing separator
        if (i == inner.end() || *i != *o)
            return false;
    }
    return true;
}

} // namespace

std::optional<std::string> outputInsideFolder(const std::string &option, const fs::path &output,
                                              const std::vector<GuardedFolder> &folders)
{
    if (output.empty())
        return std::nullopt;
    const fs::path out = resolved(output);
    for (const auto &[folder, what] : folders) {
        if (folder.empty())
            continue;
        if (within(out, resolved(folder)))
            return option + " " + output.string() + " lies inside " + what + " " + folder.string() +
                   "; an output there would overwrite it";
    }
    return std::nullopt;
}

} // namespace dlrun
