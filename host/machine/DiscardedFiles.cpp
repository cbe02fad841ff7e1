#include "host/machine/DiscardedFiles.h"

#include <string>
#include <system_error>
#include <vector>

namespace host {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPrefix = ".discarded-";

} // namespace

DiscardedFiles::DiscardedFiles(fs::path diskDir) : dir_(std::move(diskDir))
{
    // What a killed process had no time to remove.
    std::error_code ec;
    if (dir_.empty() || !fs::is_directory(dir_, ec))
        return;
    for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().starts_with(kPrefix))
            hand(it->path());
}

DiscardedFiles::~DiscardedFiles()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable())
        worker_.join();
}

bool DiscardedFiles::empty(const fs::path &folder)
{
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(folder, ec)))
        return true;
    // A partition may be a link to a folder elsewhere: that folder is
    // emptied, the link kept.
    if (!fs::is_directory(folder, ec))
        return fs::remove(folder, ec);
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    bool ok = !ec;
    if (entries.empty())
        return ok;
    const fs::path bin = newBin();
    bool handed = false;
    for (const auto &entry : entries) {
        std::error_code moved;
        if (!bin.empty())
            fs::rename(entry, bin / entry.filename(), moved);
        if (bin.empty() || moved) {
            std::error_code removed;
            fs::remove_all(entry, removed);
            ok = ok && !removed;
        } else {
            handed = true;
        }
    }
    if (!bin.empty()) {
        if (handed)
            hand(bin);
        else
            fs::remove(bin, ec);
    }
    return ok;
}

fs::path DiscardedFiles::newBin()
{
    std::error_code ec;
    if (dir_.empty())
        return {};
    // A folder of an earlier process may still stand under a number.
    for (int tries = 0; tries < 1000; ++tries) {
        fs::path bin = dir_ / (std::string(kPrefix) + std::to_string(next_++));
        if (fs::create_directory(bin, ec))
            return bin;
        if (ec)
            return {};
    }
    return {};
}

void DiscardedFiles::hand(fs::path bin)
{
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(bin));
        if (!worker_.joinable())
            worker_ = std::thread([this] { work(); });
    }
    wake_.notify_one();
}

void DiscardedFiles::finish()
{
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void DiscardedFiles::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty())
            return; // stopped, and nothing is left to remove
        fs::path bin = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        std::error_code ec;
        fs::remove_all(bin, ec); // what stays is removed by the next machine
        lock.lock();
        busy_ = false;
        if (queue_.empty())
            idle_.notify_all();
    }
}

} // namespace host
