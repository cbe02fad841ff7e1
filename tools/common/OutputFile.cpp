#include "tools/common/OutputFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dltool {

namespace fs = std::filesystem;

namespace {

std::atomic<unsigned> temporaries{0};

// A new file of its own beside `target`, with the mode `target` has (or
// that of a new file); empty with `why` when none can be made.
std::string makeTemporary(const fs::path &target, std::string &why)
{
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    struct stat old {};
    const bool replacing = ::stat(target.c_str(), &old) == 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path temp = dir / ("." + target.filename().string() + "." + std::to_string(::getpid()) +
                                     "." + std::to_string(temporaries++) + ".tmp");
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            why = std::strerror(errno);
            return "";
        }
        if (replacing)
            (void)::fchmod(fd, old.st_mode & 07777);
        ::close(fd);
        return temp.string();
    }
    why = "no free temporary name beside it";
    return "";
}

} // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard()
{
    if (file_.is_open())
        file_.close();
    if (!temp_.empty()) {
        std::error_code ec;
        fs::remove(temp_, ec);
        temp_.clear();
    }
}

bool OutputFile::open()
{
    if (toStandardOutput())
        return opened_ = true;
    std::error_code ec;
    fs::path target = path_;
    if (fs::exists(target, ec)) {
        target = fs::canonical(target, ec);
        if (ec)
            target = path_;
    }
    target_ = target.string();
    // A device or a pipe takes the bytes where it is; so does a name under
    // /dev or /proc (/dev/stdout may lead to the file the shell redirected
    // to, which a rename would take from under it).
    const bool special = path_.rfind("/dev/", 0) == 0 || path_.rfind("/proc/", 0) == 0;
    const bool inPlace = fs::exists(target, ec) && (special || !fs::is_regular_file(target, ec));
    if (!inPlace) {
        temp_ = makeTemporary(target, why_);
        if (temp_.empty())
            return false;
    }
    // In place, appended: what the shell's redirection holds stays.
    file_.open(inPlace ? target_ : temp_,
               std::ios::out | std::ios::binary | (inPlace ? std::ios::app : std::ios::trunc));
    if (!file_) {
        why_ = std::strerror(errno);
        discard();
        return false;
    }
    return opened_ = true;
}

std::ostream &OutputFile::stream() { return toStandardOutput() ? std::cout : file_; }

bool OutputFile::commit()
{
    if (!opened_) {
        if (why_.empty())
            why_ = "never opened";
        return false;
    }
    opened_ = false;
    if (toStandardOutput()) {
        if (std::cout.flush())
            return true;
        why_ = "standard output cannot be written";
        return false;
    }
    file_.flush();
    bool ok = file_.good();
    const int error = errno;
    file_.close();
    ok = ok && !file_.fail();
    if (!ok) {
        why_ = error ? std::strerror(error) : "the write failed";
        discard();
        return false;
    }
    if (temp_.empty())
        return true;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        why_ = std::strerror(errno);
        discard();
        return false;
    }
    temp_.clear();
    return true;
}

bool OutputFile::write(const std::string &path, const std::string &text, std::string &why)
{
    OutputFile out(path);
    if (out.open()) {
        out.stream() << text;
        if (out.commit())
            return true;
    }
    why = out.why();
    return false;
}

std::string OutputFile::whyNotWritable(const std::string &path)
{
    if (path == "-")
        return "";
    std::error_code ec;
    fs::path target = path;
    if (fs::exists(target, ec)) {
        if (fs::is_directory(target, ec))
            return "it is a folder";
        if (::access(target.c_str(), W_OK) != 0)
            return "it is not writable";
        if (!fs::is_regular_file(target, ec) || path.rfind("/dev/", 0) == 0 || path.rfind("/proc/", 0) == 0)
            return ""; // written in place
        target = fs::canonical(target, ec);
    }
    const fs::path parent = fs::absolute(target, ec).parent_path();
    if (!fs::is_directory(parent, ec))
        return "its folder " + parent.string() + " does not exist";
    if (::access(parent.c_str(), W_OK) != 0)
        return "its folder " + parent.string() + " is not writable";
    return "";
}

bool OutputFile::removeStale(const std::string &path)
{
    std::error_code ec;
    if (path.empty() || path == "-" || !fs::is_regular_file(fs::symlink_status(path, ec)))
        return false;
    return fs::remove(path, ec);
}

} // namespace dltool
