// A corpus of damaged update media, each made from the sample: the session
// must hold the damage invariant (dlrun::DamageJudge: every item shown
// Completed left its target as the undamaged sample does, every other item
// shows Failed or no row, the run ends documented, inside its machine
// folder, the media unchanged, the flags of unfinished targets set), and
// say on the console what it refused.
#include "tools/media/MkMedia.h"
#include "tools/media/Package.h"
#include "tools/run/Damage.h"

#include "tests/e2e/e2e_support.h"
#include "support/Harness.h"
#include "support/PairSwap.h"
#include "support/SampleMedia.h"
#include "support/Sampling.h"

#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using testing_support::readText;
using testing_support::swapPairs;
using testing_support::TempDir;
using testing_support::writeFile;

// ---- the module's view of stored files ----

std::string view(const fs::path &file) { return swapPairs(readText(file)); }
void store(const fs::path &file, const std::string &v) { writeFile(file, swapPairs(v)); }

// A package as keys and values in their order, and its compressed data.
struct Pkg {
    std::vector<std::pair<std::string, std::string>> keys;
    std::string data;

    std::string *value(const std::string &key)
    {
        for (auto &[k, v] : keys)
            if (k == key)
                return &v;
        return nullptr;
    }
    std::string bytes() const
    {
        std::string b;
        for (const auto &[k, v] : keys)
            b += k + '\n' + v + '\0';
        return b + "DATASTART\n" + data + "\r\n";
    }
};

// Reads one package at `pos`; `pos` moves past its CR LF.
Pkg parsePkg(const std::string &v, std::size_t &pos)
{
    Pkg p;
    while (v.compare(pos, 10, "DATASTART\n") != 0) {
        auto lf = v.find('\n', pos);
        auto nul = v.find('\0', lf);
        p.keys.emplace_back(v.substr(pos, lf - pos), v.substr(lf + 1, nul - lf - 1));
        pos = nul + 1;
    }
    pos += 10;
    std::size_t n = std::stoul(*p.value("COMPRESSEDSIZE"));
    p.data = v.substr(pos, n);
    pos += n + 2;
    return p;
}

std::vector<Pkg> parseChain(const std::string &v)
{
    std::vector<Pkg> chain;
    for (std::size_t pos = 0; pos + 10 < v.size();)
        chain.push_back(parsePkg(v, pos));
    return chain;
}

std::string joinChain(const std::vector<Pkg> &chain)
{
    std::string s;
    for (const auto &p : chain)
        s += p.bytes();
    return s;
}

Pkg makePkg(const std::string &name, const std::string &content)
{
    media::Bytes z =
        media::zlibDeflate({reinterpret_cast<const std::uint8_t *>(content.data()), content.size()});
    Pkg p;
    p.data.assign(z.begin(), z.end());
    p.keys = {{"EXPANDEDSIZE", std::to_string(content.size())},
              {"COMPRESSEDSIZE", std::to_string(p.data.size())},
              {"DBNAME", name},
              {"VERSION", "V1R2.10 A"},
              {"COMMENT", "HDD_SYS"}};
    return p;
}

// ---- the sample and its damaged copies ----

constexpr std::size_t kImage0At[] = {0x280000, 0x310000, 0x380000};
constexpr std::size_t kFlashBytes = 16777216;

struct Media {
    fs::path fw; // the fwstore folder

    // Image 0's package `i`, edited, written back at its fixed offset.
    void image0(int i, const std::function<void(Pkg &)> &edit) const
    {
        std::string v = view(fw / "firmImage0.bin");
        std::size_t pos = kImage0At[i];
        Pkg p = parsePkg(v, pos);
        edit(p);
        std::string b = p.bytes();
        v.replace(kImage0At[i], std::min(b.size(), v.size() - kImage0At[i]), b);
        store(fw / "firmImage0.bin", v);
    }
    void image2(const std::function<void(std::vector<Pkg> &)> &edit) const
    {
        auto chain = parseChain(view(fw / "firmImage2.bin"));
        edit(chain);
        store(fw / "firmImage2.bin", joinChain(chain));
    }
    std::vector<Pkg> hddChain() const
    {
        std::string all;
        for (int n = 1; fs::exists(fw / std::to_string(n)); ++n)
            all += view(fw / std::to_string(n));
        return parseChain(all);
    }
    // The HDD chain, edited, cut again into files of about `fileBytes`: each
    // cut at an even offset after the end of a package's data.
    void hdd(const std::function<void(std::vector<Pkg> &)> &edit, std::size_t fileBytes = 16384) const
    {
        auto chain = hddChain();
        edit(chain);
        for (int n = 1; fs::exists(fw / std::to_string(n)); ++n)
            fs::remove(fw / std::to_string(n));
        std::string all = joinChain(chain), file;
        int n = 0;
        std::size_t from = 0, pos = 0;
        for (const auto &p : chain) {
            pos += p.bytes().size();
            std::size_t cut = (pos - 1) & ~std::size_t(1); // past the data's last byte
            if (cut + 2 <= all.size() && cut + 2 - from >= fileBytes) {
                store(fw / std::to_string(++n), all.substr(from, cut + 2 - from));
                from = cut + 2;
            }
        }
        if (from < all.size())
            store(fw / std::to_string(++n), all.substr(from));
    }
    void resize(const char *file, std::size_t bytes) const
    {
        std::string v = view(fw / file);
        v.resize(bytes, '\xFF');
        store(fw / file, v);
    }
    void flipData(const std::string &file, std::size_t at) const
    {
        std::string v = view(fw / file);
        for (std::size_t i = 0; i < 16; ++i)
            v[at + i] = static_cast<char>(v[at + i] ^ 0x5A);
        store(fw / file, v);
    }
};

// Byte offset of the compressed data of the package named `name` in a view.
std::size_t dataOf(const fs::path &file, const std::string &name)
{
    std::string v = view(file);
    return v.find("DATASTART\n", v.find(name + '\0')) + 10;
}

const char *const kHddNoDb = "bootHdLoaderUSBHdUpdate:can not get DB infomation";
const char *const kHddNoDir = "bootHdLoaderUSBHdUpdate:can not make directory";

// What a completed item is compared with.
enum class Judged {
    damaged,      // the sample's session: the damage must never reach a target
    undetectable, // nothing: no check of the package format can see the edit
                  // (a name, image content outside packages)
    asCarried,    // the disk the edited media carry: packages added, not damaged
};

struct Case {
    std::string name;
    std::function<void(const Media &)> damage;
    std::string line; // what the module says about it on the console, line by line
    Judged judged = Judged::damaged;
};

std::vector<Case> corpus()
{
    std::vector<Case> cases;
    auto add = [&](std::string name, std::function<void(const Media &)> d, std::string line,
                   Judged judged = Judged::damaged) {
        cases.push_back({std::move(name), std::move(d), std::move(line), judged});
    };

    // Cut short.
    add(
        "image0_cut_in_first_package", [](const Media &m) { m.resize("firmImage0.bin", kImage0At[0] + 600); },
        "from.bin not made: OS UI image incomplete");
    add(
        "image1_cut_in_version_head", [](const Media &m) { m.resize("firmImage1.bin", 64); }, "",
        Judged::undetectable); // image 1 holds no package
    add(
        "image2_cut_in_half",
        [](const Media &m) {
            m.resize("firmImage2.bin", std::filesystem::file_size(m.fw / "firmImage2.bin") / 2);
        },
        "range over  ");
    add(
        "hdd_file_2_cut_in_half", [](const Media &m) { m.resize("2", 8000); }, kHddNoDb);
    add(
        "hdd_last_file_cut", [](const Media &m) { m.resize("3", 100); }, kHddNoDb);

    // Every required key missing in turn from image 0 (from all three
    // packages: the lookup reads on past a package's end).
    const std::pair<const char *, const char *> keys[] = {
        {"EXPANDEDSIZE", "serch end"},       {"COMPRESSEDSIZE", "can not find compressed size"},
        {"DBNAME", "can not find DB name"},  {"VERSION", "can not find DB name"},
        {"COMMENT", "can not find DB name"}, {"LANGUAGECODE", "can not find LANGUAGECODE"}};
    for (auto [key, line] : keys)
        add(
            std::string("image0_without_") + key,
            [key](const Media &m) {
                for (int i = 0; i < 3; ++i)
                    m.image0(i, [key](Pkg &p) {
                        std::erase_if(p.keys, [key](const auto &kv) { return kv.first == key; });
                    });
            },
            line);

    // Sizes out of range, in the laser package of image 2.
    const std::tuple<const char *, const char *, const char *> sizes[] = {
        {"EXPANDEDSIZE", "-5", "serch end"},
        {"EXPANDEDSIZE", "0", ""},
        {"EXPANDEDSIZE", "2000000000", ""},
        {"EXPANDEDSIZE", "99999999999", "serch end"},
        {"COMPRESSEDSIZE", "-5", "can not find compressed size"},
        {"COMPRESSEDSIZE", "0", "can not find compressed size"},
        {"COMPRESSEDSIZE", "2000000000", "range over  "},
        {"COMPRESSEDSIZE", "99999999999", "can not find compressed size"}};
    for (auto [key, value, line] : sizes)
        add(
            std::string("image2_") + key + "_" + value,
            [key, value](const Media &m) {
                m.image2([&](std::vector<Pkg> &c) { *c[0].value(key) = value; });
            },
            line);

    // Names: long, climbing, and pointing into the host.
    for (std::size_t n : {255u, 256u, 4000u}) {
        add(
            "image2_dbname_" + std::to_string(n),
            [n](const Media &m) {
                m.image2(
                    [n](std::vector<Pkg> &c) { *c[0].value("DBNAME") = "/TMP/" + std::string(n - 5, 'n'); });
            },
            n >= 256 ? "dlBoardUpdateHDMain:DB name too long\nEngTenkai error" : "");
        add(
            "hdd_dbname_" + std::to_string(n),
            [n](const Media &m) {
                m.hdd(
                    [n](std::vector<Pkg> &c) { *c[2].value("DBNAME") = "/SYS/" + std::string(n - 5, 'n'); });
            },
            n >= 256 ? kHddNoDir : "", n >= 256 ? Judged::damaged : Judged::undetectable);
    }
    for (const char *name : {"/TMP/../../../../outside/climb", "/SYS/../../../../../outside/climb"}) {
        add(
            std::string("image2_dbname_climbs_") + (name[1] == 'T' ? "tmp" : "sys"),
            [name](const Media &m) {
                m.image2([name](std::vector<Pkg> &c) { *c[1].value("DBNAME") = name; });
            },
            "dlBoardUpdateHDMain:inflate can not success");
        add(
            std::string("hdd_dbname_climbs_") + (name[1] == 'T' ? "tmp" : "sys"),
            [name](const Media &m) { m.hdd([name](std::vector<Pkg> &c) { *c[1].value("DBNAME") = name; }); },
            kHddNoDir);
    }
    add(
        "image2_dbname_host_path",
        [](const Media &m) {
            std::string host = (m.fw.parent_path().parent_path() / "outside" / "host").string();
            m.image2([&](std::vector<Pkg> &c) { *c[2].value("DBNAME") = host; });
        },
        "EngTenkai error");
    add(
        "hdd_dbname_host_path",
        [](const Media &m) {
            std::string host = (m.fw.parent_path().parent_path() / "outside" / "host").string();
            m.hdd([&](std::vector<Pkg> &c) { *c[3].value("DBNAME") = host; });
        },
        kHddNoDir);

    // More packages than the tables hold.
    add(
        "image2_17_packages",
        [](const Media &m) {
            m.image2([](std::vector<Pkg> &c) {
                for (int i = 0; c.size() < 17; ++i)
                    c.push_back(makePkg("/TMP/extra" + std::to_string(i) + ".tz", "x"));
            });
        },
        "");
    add(
        "hdd_file_1_257_packages",
        [](const Media &m) {
            m.hdd(
                [](std::vector<Pkg> &c) {
                    for (int i = 0; c.size() < 257; ++i)
                        c.push_back(makePkg("/UND/e" + std::to_string(i), "y"));
                },
                1 << 30);
        },
        "", Judged::asCarried);
    // the loader's table holds 2,048: the last one is never loaded
    add(
        "hdd_2049_packages",
        [](const Media &m) {
            m.hdd(
                [](std::vector<Pkg> &c) {
                    for (int i = 0; c.size() < 2049; ++i)
                        c.push_back(makePkg("/UND/e" + std::to_string(i), "z"));
                },
                1 << 30);
        },
        "Download -> Failed");
    add(
        "hdd_last_file_ends_inside_a_package",
        [](const Media &m) { m.resize("3", std::filesystem::file_size(m.fw / "3") - 100); },
        "Download -> Failed");
    add(
        "image0_random_bytes",
        [](const Media &m) { writeFile(m.fw / "firmImage0.bin", testing_support::randomBytes(5 << 20, 9)); },
        "can not UI Version dbNumber=0\nfrom.bin not made: OS UI image incomplete");

    // Flash image sizes at the limits.
    add(
        "image0_8MiB_plus_1", [](const Media &m) { m.resize("firmImage0.bin", 0x800001); },
        "firmImage0.bin size over\nFromTenkai error");
    add(
        "image1_flash_image_2_bytes_over",
        [](const Media &m) {
            // image 0 always fills its 8 MiB area of the flash image
            m.resize("firmImage1.bin", kFlashBytes + 2 - 0x800000);
        },
        "Data size(16777218) is larger than target area");

    // Damaged zlib streams (image 0 goes to the flash as it is: no line).
    add(
        "image0_stream_damaged", [](const Media &m) { m.flipData("firmImage0.bin", kImage0At[1] + 200); },
        "");
    add(
        "image2_stream_damaged",
        [](const Media &m) {
            m.flipData("firmImage2.bin", dataOf(m.fw / "firmImage2.bin", "/TMP/mfirm.tz") + 100);
        },
        "EngTenkai error");
    add(
        "hdd_stream_damaged", [](const Media &m) { m.flipData("2", 4000); },
        "bootHdLoaderUSBHdUpdate:inflate can not success");

    // HDD series: a gap, and 33 files.
    add(
        "hdd_series_gap", [](const Media &m) { fs::remove(m.fw / "2"); }, "");
    add(
        "hdd_33_files",
        [](const Media &m) {
            m.hdd(
                [](std::vector<Pkg> &c) {
                    for (int i = 0; c.size() < 33; ++i)
                        c.push_back(makePkg("/UND/f" + std::to_string(i), std::string(100, 'f')));
                },
                1);
        },
        "USB HDD file 33 beyond the last file loaded");

    // Odd lengths: every file one byte longer.
    add(
        "odd_lengths_everywhere",
        [](const Media &m) {
            for (const auto &e : fs::directory_iterator(m.fw))
                writeFile(e.path(), readText(e.path()) + "\x01");
        },
        "rare case", Judged::undetectable); // the byte lands in image content, outside packages

    // Folders where files belong.
    for (const char *file : {"firmImage0.bin", "firmImage1.bin", "firmImage2.bin", "1", "2"})
        add(
            std::string("folder_as_") + file,
            [file](const Media &m) {
                fs::remove(m.fw / file);
                fs::create_directories(m.fw / file / "inside");
            },
            "");
    return cases;
}

// ---- running them ----

using testing_support::Ran;

std::map<std::string, std::string> snapshot(const fs::path &dir)
{
    std::map<std::string, std::string> s;
    if (!fs::exists(dir))
        return s;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        s[e.path().lexically_relative(dir).string()] =
            e.is_regular_file() ? readText(e.path()) : std::string("<dir>");
    return s;
}

// One session of `dir`/media on a new machine `dir`/machine, run from
// `dir`/outside (which must stay empty).
testing_support::Command caseCommand(const fs::path &dir)
{
    return {{"run", "--media", (dir / "media").string(), "--machine", (dir / "machine").string(), "--keys",
             "ok", "--panel", (dir / "panel.txt").string(), "--panel-trace", (dir / "trace.jsonl").string()},
            dir / "outside",
            dir / "out.txt",
            dir / "err.txt",
            {}};
}

std::size_t lines(const std::string &out, const std::string &line)
{
    std::size_t n = 0;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        n += l == line;
    return n;
}

class BadMedia : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        work_ = new TempDir;
        ASSERT_EQ(testing_support::makeSampleMedia(work_->path(), *work_ / "sample"), "");
        fs::create_directories(*work_ / "ref" / "outside");
        fs::copy(*work_ / "sample", *work_ / "ref" / "media", fs::copy_options::recursive);
        ASSERT_EQ(testing_support::run(caseCommand(*work_ / "ref")).status, 0);
        judge_ = new dlrun::DamageJudge(
            dlrun::freshMachineState(work_->path()),
            host::MachineState::read(*work_ / "ref" / "machine", host::MachineState::Scope::everyByte));
        // The disk worked out from media is what a session leaves.
        ASSERT_TRUE(carriedDisk(*work_ / "sample") == judge_->reference().disk);
    }

    // The disk as a machine folder holds it ("SYS/bin/app", folders as
    // "<dir>") after an HDD update from `media`.
    static std::map<std::string, std::string> carriedDisk(const fs::path &media)
    {
        std::map<std::string, std::string> disk;
        for (const char *p : {"SYS", "ROM", "PRF", "UND", "ROM/PRF"})
            disk[p] = "<dir>";
        for (const auto &[name, bytes] :
             testing_support::diskAfterUpdate(testing_support::MediaView(media))) {
            const fs::path rel = fs::path(name).relative_path();
            disk[rel.string()] = std::string(bytes.begin(), bytes.end());
            for (fs::path up = rel.parent_path(); !up.empty(); up = up.parent_path())
                disk[up.string()] = "<dir>";
        }
        return disk;
    }

    static dlrun::Judgement judge(const Case &c, const fs::path &media, const dlrun::SessionOutcome &s)
    {
        if (c.judged != Judged::asCarried)
            return judge_->judge(s, c.judged == Judged::damaged);
        host::MachineState carried = judge_->reference();
        carried.disk = carriedDisk(media);
        return dlrun::DamageJudge(judge_->fresh(), std::move(carried)).judge(s);
    }
    static void TearDownTestSuite()
    {
        delete judge_;
        delete work_;
    }
    static TempDir *work_;
    static dlrun::DamageJudge *judge_;
};

TempDir *BadMedia::work_ = nullptr;
dlrun::DamageJudge *BadMedia::judge_ = nullptr;

std::string listed(const fs::path &dir)
{
    std::string names;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        names += (names.empty() ? "" : ", ") + e.path().lexically_relative(dir).string();
    return names;
}

TEST_F(BadMedia, EveryCaseHoldsTheDamageInvariant)
{
    const std::string refOut = readText(*work_ / "ref" / "out.txt");
    auto cases = corpus();
    if (!testing_support::wholeSweep()) { // every sixth case
        std::vector<Case> sample;
        for (std::size_t i = 0; i < cases.size(); i += 6)
            sample.push_back(cases[i]);
        cases = sample;
    }
    std::vector<fs::path> dirs;
    for (const auto &c : cases) {
        fs::path dir = *work_ / c.name;
        fs::create_directories(dir / "outside");
        fs::copy(*work_ / "sample", dir / "media", fs::copy_options::recursive);
        c.damage(Media{dir / "media" / "fwstore"});
        dirs.push_back(dir);
    }
    // Two at a time: each run is a process of its own.
    std::vector<Ran> outcomes(cases.size());
    std::vector<std::map<std::string, std::string>> before(cases.size());
    testing_support::runEach(
        cases.size(), 2, std::chrono::seconds(testing_support::instrumentedBuild() ? 600 : 120),
        [&](std::size_t i) {
            before[i] = snapshot(dirs[i] / "media");
            return std::optional(caseCommand(dirs[i]));
        },
        [&](std::size_t i, Ran ran) { outcomes[i] = std::move(ran); });

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        const Ran &o = outcomes[i];
        SCOPED_TRACE(c.name + "\n" + o.out + o.err);
        // BADMEDIA_SHOW=1: every case's console and host lines, to see what each one says.
        if (std::getenv("BADMEDIA_SHOW"))
            std::printf("=== %s status %d\n%s%s", c.name.c_str(), o.status, o.out.c_str(), o.err.c_str());
        dlrun::SessionOutcome s;
        s.status = o.status;
        s.signal = o.signal;
        s.timedOut = o.timedOut;
        s.panel = readText(dirs[i] / "panel.txt");
        s.machine = host::MachineState::read(dirs[i] / "machine", host::MachineState::Scope::everyByte);
        s.outside = listed(dirs[i] / "outside");
        s.mediaChange =
            snapshot(dirs[i] / "media") == before[i] ? "" : "its files differ from before the run";
        const dlrun::Judgement j = judge(c, dirs[i] / "media", s);
        std::string problems;
        for (const auto &p : j.problems)
            problems += "\n  " + p;
        EXPECT_TRUE(j.passed()) << c.name << ":" << problems;
        // Said for this damage: more often than the sample's session says it.
        std::istringstream wanted(c.line);
        for (std::string line; std::getline(wanted, line);)
            EXPECT_GT(lines(o.out, line), lines(refOut, line)) << "wanted: " << line;
    }
}

} // namespace
