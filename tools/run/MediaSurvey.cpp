#include "tools/run/MediaSurvey.h"

#include "tools/media/Media.h"

#include <algorithm>

namespace dlrun {

namespace fs = std::filesystem;

namespace {

// Deep enough for a checkout or a build tree holding media, shallow enough
// for a home folder given by mistake.
constexpr int kSearchDepth = 3;
constexpr long kSearchEntries = 20000;
constexpr std::size_t kMediaNamed = 5;

// The module opens each name; a folder of that name opens no file.
bool present(const fs::path &file)
{
    std::error_code ec;
    return fs::exists(file, ec) && !fs::is_directory(file, ec);
}

// The folder the module reads: "fwstore" when the media have one.
fs::path readFolder(const fs::path &media)
{
    std::error_code ec;
    const fs::path model = media / media::layout::kModelFolder;
    return fs::is_directory(model, ec) ? model : media;
}

std::vector<std::string> updateFilesIn(const fs::path &folder)
{
    std::vector<std::string> files;
    for (const char *image : media::layout::kImageNames)
        if (present(folder / image))
            files.emplace_back(image);
    for (std::size_t n = 1; n <= media::layout::kMaxHddFiles; ++n)
        if (present(folder / std::to_string(n)))
            files.push_back(std::to_string(n));
    return files;
}

// Folders below `top` that a session would find update files in, named as
// --media takes them (the folder above a "fwstore").
std::vector<fs::path> mediaBelow(const fs::path &top)
{
    std::vector<fs::path> found;
    std::error_code ec;
    long seen = 0;
    auto it = fs::recursive_directory_iterator(top, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator() && ++seen < kSearchEntries; it.increment(ec)) {
        if (it.depth() + 1 >= kSearchDepth)
            it.disable_recursion_pending();
        std::error_code kind;
        if (it->is_symlink(kind) || !it->is_directory(kind))
            continue;
        const fs::path dir = it->path();
        const bool model = dir.filename() == media::layout::kModelFolder;
        if (!model && fs::is_directory(dir / media::layout::kModelFolder, kind))
            continue; // its "fwstore" speaks for it
        if (!updateFilesIn(dir).empty())
            found.push_back(model ? dir.parent_path() : dir);
    }
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace

MediaSurvey surveyMedia(const fs::path &media)
{
    MediaSurvey s;
    s.folder = readFolder(media);
    s.files = updateFilesIn(s.folder);
    if (s.offersNothing())
        s.mediaBelow = mediaBelow(media);
    return s;
}

std::string updateFileNames()
{
    std::string names;
    for (const char *image : media::layout::kImageNames)
        names += std::string(image) + ", ";
    return names + "1 ... " + std::to_string(media::layout::kMaxHddFiles);
}

std::string nothingOffered(const MediaSurvey &survey)
{
    std::string text =
        "no update file in " + survey.folder.string() + " (looked for " + updateFileNames() + ")";
    if (survey.mediaBelow.empty())
        return text;
    text += "; media found below: ";
    for (std::size_t i = 0; i < survey.mediaBelow.size() && i < kMediaNamed; ++i)
        text += (i ? ", " : "") + survey.mediaBelow[i].string();
    if (survey.mediaBelow.size() > kMediaNamed)
        text += " and " + std::to_string(survey.mediaBelow.size() - kMediaNamed) + " more";
    return text;
}

} // namespace dlrun
