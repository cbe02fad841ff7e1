// Colour for the words a user looks for (problem, Failed, differs): only on
// a terminal, and never under NO_COLOR (any value) or TERM=dumb, so a file
// or a pipe gets exactly the plain text.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <unistd.h>

namespace dltool {

// A terminal that can do no more than print lines: no colour, no panel.
inline bool dumbTerminal()
{
    const char *term = std::getenv("TERM");
    return term && std::strcmp(term, "dumb") == 0;
}

inline bool colourOn(int fd) { return ::isatty(fd) == 1 && !std::getenv("NO_COLOR") && !dumbTerminal(); }

// `word` in bold red.
inline std::string red(std::string_view word) { return "\x1b[1;31m" + std::string(word) + "\x1b[0m"; }

// Every `word` of `text` in red; given `after`, only a word that follows it
// (a line's first word: "\n").
inline std::string redWords(std::string_view text, std::string_view word, std::string_view after = {})
{
    const std::string sought = std::string(after) + std::string(word);
    std::string out;
    for (std::size_t at; (at = text.find(sought)) != std::string_view::npos;
         text.remove_prefix(at + sought.size()))
        out += std::string(text.substr(0, at + after.size())) + red(word);
    return out + std::string(text);
}

} // namespace dltool
