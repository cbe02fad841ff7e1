// An output file of a command, written whole or not at all: the text goes
// to a temporary name beside it and is renamed into place only once it is
// complete, so a reader never finds it empty, half-written or mixed with
// an earlier run's. "-" is standard output. A path that is no regular
// file (/dev/full, a pipe) is written in place: renaming over it would
// replace the device.
#pragma once

#include <fstream>
#include <ostream>
#include <string>

namespace dltool {

class OutputFile {
public:
    explicit OutputFile(std::string path);
    ~OutputFile(); // a temporary never committed is removed
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Creates the temporary (or opens the path in place); false with why().
    bool open();
    // Valid after a successful open().
    std::ostream &stream();
    // Flushed, checked and renamed into place; false with why() when any
    // byte could not be written, and then nothing replaces the path.
    bool commit();

    const std::string &path() const { return path_; }
    bool toStandardOutput() const { return path_ == "-"; }
    const std::string &why() const { return why_; }
    // The temporary name, empty when written in place.
    const std::string &temporary() const { return temp_; }

    // The whole of `text` written to `path` as above; false with `why`.
    static bool write(const std::string &path, const std::string &text, std::string &why);
    // Why `path` cannot take a file, found before any work ("its folder X
    // does not exist"); empty when it can. The temporary needs its folder
    // writable too.
    static std::string whyNotWritable(const std::string &path);
    // An earlier run's file at `path` removed, so that it cannot pass for
    // this run's; only a regular file is. True when one was removed.
    static bool removeStale(const std::string &path);

private:
    void discard();

    std::string path_;
    std::string target_; // the path, its links followed
    std::string temp_;
    std::ofstream file_;
    bool opened_ = false;
    std::string why_;
};

} // namespace dltool
