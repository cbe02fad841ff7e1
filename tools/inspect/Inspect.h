// dlupdate inspect DIR [--json]: reads update media as the module does and
// reports the packages of every image and HDD file, the system version and
// every problem; nothing is written to the media.
#pragma once

#include "tools/common/Voice.h"
#include "tools/progress/Progress.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <string>

namespace inspect {

// The report (text, or one JSON object) goes to `out`, with one
// "problem: ..." line per problem in the text; a folder that cannot be
// read is told on `err`, and progress unless `quiet`. Exits 0 with no
// problems, 1 with problems, 5 when DIR is not a readable folder.
int runInspect(const std::string &dir, bool json, std::ostream &out, const dltool::Voice &err,
               bool quiet = false);
// The text to `out` and, when `json` is given, the JSON object to it too,
// from one reading of the media.
int runInspect(const std::string &dir, std::ostream &out, std::ostream *json, const dltool::Voice &err,
               bool quiet = false);

// How far a reading of the media has got, by the bytes of the media files
// read ("dlupdate inspect: read 12.0 MiB of 68.0 MiB [##--------]"): on a
// terminal in place, in a log a line at each tenth of large media.
class ReadProgress {
public:
    ReadProgress(const std::filesystem::path &media, const dltool::Voice &voice, bool quiet);
    // A media file has been read; from the reading task.
    void fileRead(const std::string &name);
    // Before what the command prints next.
    void clear();

private:
    std::filesystem::path folder_;
    const dltool::Voice &voice_;
    progress::Line line_;
    std::mutex mutex_;
    std::uint64_t total_ = 0, done_ = 0;
};

} // namespace inspect
