// Files the hard disk has let go of, removed on a thread of their own.
//
// Emptying a partition on the device takes a moment whatever it held. On
// the host, removing the old files costs in proportion to them, and an
// update empties the OS partition of hundreds of MiB before it writes the
// new system. So an emptied folder's entries are renamed at once into a
// hidden folder beside the partitions ("disk/.discarded-N"), which no
// device reaches, and that folder is removed while the session goes on.
//
// Nothing of the machine's behaviour depends on when the removal ends: the
// folder is empty as soon as `empty` returns. The owner waits for the
// removals with `finish` (its destructor does too), so a machine folder is
// whole again once its machine is gone; folders left by a process that was
// killed are removed by the next machine over the same disk.
#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

namespace host {

class DiscardedFiles {
public:
    // `diskDir` holds the partitions; it may be empty or missing (no disk).
    explicit DiscardedFiles(std::filesystem::path diskDir);
    ~DiscardedFiles();
    DiscardedFiles(const DiscardedFiles &) = delete;
    DiscardedFiles &operator=(const DiscardedFiles &) = delete;

    // Empties `folder` (or the folder it links to), or removes a file
    // standing in its place; links inside are removed, never followed.
    // True when nothing is left there. Entries that cannot be moved aside
    // (another file system) are removed here and now.
    bool empty(const std::filesystem::path &folder);
    // Returns once every folder handed over so far has been removed.
    void finish();

private:
    std::filesystem::path newBin();
    void hand(std::filesystem::path bin);
    void work();

    std::filesystem::path dir_;
    unsigned next_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::filesystem::path> queue_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread worker_; // started with the first removal
};

} // namespace host
