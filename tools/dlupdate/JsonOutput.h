// The JSON of a command, one convention for all: --json writes it to
// standard output in place of the text; -o FILE (--json-out FILE) writes it
// to FILE, whole or not at all, and the text stays on standard output
// ("-" is standard output again).
#pragma once

#include "tools/common/JsonFormat.h"
#include "tools/common/Voice.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

namespace dlcli {

class JsonOutput {
public:
    // Adds --json (described by `what`) and -o,--json-out FILE to `cmd`.
    static std::shared_ptr<JsonOutput> define(CLI::App &cmd, const std::string &what);

    bool wanted() const { return json_ || !file_.empty(); }
    // Standard output carries the text form.
    bool text() const { return !wanted() || (!file_.empty() && file_ != "-"); }

    // The command's work: it writes its text on standard output when
    // text(), its document into `json` when given, and returns its status.
    using Work = std::function<int(const dltool::Voice &, std::ostream *json)>;

    // Runs `work` and writes its document. A file that cannot be written
    // is bad usage before the work, or turns 0 into 7 after it; a command
    // that ended with no document leaves in FILE one that says why.
    int run(const dltool::Voice &voice, dltool::JsonFormat format, const Work &work) const;

private:
    bool json_ = false;
    std::string file_;
};

} // namespace dlcli
