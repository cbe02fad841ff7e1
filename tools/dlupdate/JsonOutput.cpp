#include "tools/dlupdate/JsonOutput.h"

#include "tools/common/ExitStatus.h"
#include "tools/common/Lines.h"
#include "tools/common/OutputFile.h"

#include <iostream>
#include <sstream>
#include <streambuf>

namespace dlcli {

namespace {

// Standard error as the command writes it, with a copy kept: the reason a
// command ended early is the last line it said.
class KeepingBuffer : public std::streambuf {
public:
    explicit KeepingBuffer(std::streambuf *to) : to_(to) {}
    std::string lastLine(const std::string &prefix) const
    {
        const auto lines = dltool::splitLines(kept_);
        for (auto it = lines.rbegin(); it != lines.rend(); ++it)
            if (it->rfind(prefix, 0) == 0)
                return it->substr(prefix.size());
        return lines.empty() ? "" : lines.back();
    }

protected:
    int overflow(int c) override
    {
        if (c == traits_type::eof())
            return traits_type::not_eof(c);
        kept_ += static_cast<char>(c);
        return to_->sputc(static_cast<char>(c));
    }
    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        kept_.append(s, static_cast<std::size_t>(n));
        return to_->sputn(s, n);
    }
    int sync() override { return to_->pubsync(); }

private:
    std::streambuf *to_;
    std::string kept_;
};

} // namespace

std::shared_ptr<JsonOutput> JsonOutput::define(CLI::App &cmd, const std::string &what)
{
    auto o = std::make_shared<JsonOutput>();
    cmd.add_flag("--json", o->json_, what + ", on standard output in place of the text");
    cmd.add_option("-o,--json-out", o->file_, "write the JSON to FILE; the text stays on standard output")
        ->type_name("FILE");
    return o;
}

int JsonOutput::run(const dltool::Voice &voice, dltool::JsonFormat format, const Work &work) const
{
    const std::string target = file_.empty() ? "-" : file_;
    if (wanted()) {
        const std::string why = dltool::OutputFile::whyNotWritable(target);
        if (!why.empty()) {
            voice.say() << "cannot write " << target << ": " << why << "\n";
            return dltool::kUsage;
        }
    }
    KeepingBuffer keeping(voice.stream().rdbuf());
    std::ostream err(&keeping);
    const dltool::Voice keptVoice(voice.path(), err);
    std::ostringstream doc;
    int status = work(keptVoice, wanted() ? &doc : nullptr);
    err.flush();
    if (!wanted())
        return status;
    std::string text = doc.str();
    // Standard output keeps its silence when the work ended with nothing,
    // as it always did; a file says why.
    if (text.empty() && target == "-")
        return status;
    if (text.empty())
        text = dltool::endedEarly(format, status, keeping.lastLine(voice.path() + ": "))
                   .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
               "\n";
    std::string why;
    if (dltool::OutputFile::write(target, text, why))
        return status;
    voice.say() << "cannot write the JSON to " << (target == "-" ? "standard output" : target) << ": " << why
                << "\n";
    return status == dltool::kOk ? dltool::kOutputFailed : status;
}

} // namespace dlcli
