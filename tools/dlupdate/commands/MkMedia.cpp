// dlupdate mkmedia MANIFEST --out DIR, or mkmedia --sample DIR
#include "tools/common/ExitStatus.h"
#include "tools/dlupdate/Command.h"
#include "tools/media/Media.h"
#include "tools/media/MkMedia.h"
#include "tools/media/Sample.h"

#include <iostream>
#include <memory>

namespace dlcli {

Action defineMkMedia(CLI::App &cmd)
{
    struct Args {
        std::string manifest, out, sample;
        media::MkMediaOptions options;
    };
    auto a = std::make_shared<Args>();
    auto *manifestOpt = cmd.add_option("MANIFEST", a->manifest, "JSON manifest (media/README.md)");
    auto *outOpt = cmd.add_option("--out", a->out, "folder the media is written to")->type_name("DIR");
    cmd.add_option("--sample", a->sample,
                   "write the sample manifest and its inputs into DIR (missing or empty) instead")
        ->type_name("DIR")
        ->excludes(manifestOpt)
        ->excludes(outOpt);
    cmd.add_option("--level", a->options.level, "compression level, 1 (fastest) to 12 (smallest)")
        ->check(CLI::Range(media::kMinLevel, media::kMaxLevel))
        ->default_val(media::kDefaultLevel);
    cmd.add_option("--jobs", a->options.jobs,
                   "packages compressed, then files written, at once (default: one per core)")
        ->check(CLI::Range(1u, 1024u));
    cmd.add_flag("--quiet", a->options.quiet, "no progress on standard error");
    return [a](const dltool::Voice &voice) {
        if (!a->sample.empty()) {
            try {
                media::writeSample(a->sample);
            } catch (const media::MediaIoError &e) {
                voice.say() << e.what() << "\n";
                return int(dltool::kUsage);
            }
            std::cout << "sample manifest and inputs in " << a->sample << "\n";
            return int(dltool::kOk);
        }
        if (a->manifest.empty() || a->out.empty()) {
            voice.say() << "give MANIFEST --out DIR, or --sample DIR (dlupdate help mkmedia)\n";
            return int(dltool::kUsage);
        }
        return media::runMkMedia(a->manifest, a->out, std::cout, voice, a->options);
    };
}

} // namespace dlcli
