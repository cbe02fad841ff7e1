// Which update files a media folder offers the module, found by name as a
// session looks for them, and where media lie below a folder that holds
// none (the folder above the media, given by mistake): a run or a verify
// of such a folder tests nothing, and says so.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace dlrun {

struct MediaSurvey {
    std::filesystem::path folder;                  // where the module looks: fwstore/ or the top
    std::vector<std::string> files;                // the update files there, in the module's order
    std::vector<std::filesystem::path> mediaBelow; // folders below holding update files
    bool offersNothing() const { return files.empty(); }
};

// The folder's update files; media below are searched for only when it
// offers none, a few levels down.
MediaSurvey surveyMedia(const std::filesystem::path &media);

// The names looked for: "firmImage0.bin, firmImage1.bin, firmImage2.bin, 1 ... 32".
std::string updateFileNames();

// "no update file in FOLDER (looked for ...); media found below: A, B"
std::string nothingOffered(const MediaSurvey &survey);

} // namespace dlrun
