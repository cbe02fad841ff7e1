// Standard error written a whole line at a time. The live panel redraws the
// terminal from another thread; a line written in pieces ("session ", "1",
// ": returned 0") could have a frame land inside it, and scripts that read
// the terminal would no longer find the line.
#pragma once

#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>

namespace dlcli {

// Collects text and hands each finished line (or, on an explicit flush,
// what has been collected: a progress line redrawn with '\r') to one
// write(2) of descriptor `fd`.
class WholeLineBuf : public std::streambuf {
public:
    explicit WholeLineBuf(int fd) : fd_(fd) {}
    ~WholeLineBuf() override { WholeLineBuf::sync(); }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char *s, std::streamsize n) override;
    int sync() override;

private:
    void writeOut(std::size_t n);
    int fd_;
    std::mutex mutex_; // tasks of the machine report from threads of their own
    std::string pending_;
};

// Puts `stream` on a WholeLineBuf for its lifetime, and back as it was after.
class WholeLines {
public:
    WholeLines(std::ostream &stream, int fd);
    ~WholeLines();
    WholeLines(const WholeLines &) = delete;
    WholeLines &operator=(const WholeLines &) = delete;

private:
    std::ostream &stream_;
    WholeLineBuf buf_;
    std::streambuf *old_;
    std::ios::fmtflags flags_;
};

} // namespace dlcli
