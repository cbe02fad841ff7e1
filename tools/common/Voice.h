// How a command speaks on standard error: each of its own lines opens with
// the command's words as the parser found them ("dlupdate machine show: "),
// so that no line names another command or none.
#pragma once

#include <iostream>
#include <ostream>
#include <string>
#include <utility>

namespace dltool {

class Voice {
public:
    Voice(std::string path, std::ostream &err) : path_(std::move(path)), err_(err) {}

    // A line of the command's own: the prefix, then what the caller writes;
    // the caller ends the line. What standard output holds goes first, so a
    // log of both reads in the order things happened.
    std::ostream &say() const
    {
        std::cout.flush();
        return err_ << path_ << ": ";
    }
    // The same line written back over a progress line on a terminal.
    std::ostream &sayOver() const { return err_ << "\r" << path_ << ": "; }
    // Lines that are not the command's own ("session 1: returned 0").
    std::ostream &stream() const { return err_; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    std::ostream &err_;
};

} // namespace dltool
