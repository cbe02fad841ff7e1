// Hostile input: media, manifests, machine folders and output names as a
// careless or hostile user leaves them (links, FIFOs, devices, sparse files
// past 4 GiB, header numbers at the 32-bit limits, names of devices and
// other partitions, broken machine folders). Every command runs under a
// time limit and must end with its documented status and a clear first
// line, never by a signal or a sanitizer report, writing nothing outside
// the machine folder and its named outputs and leaving the media as they
// were.
#include "tests/e2e/e2e_support.h"
#include "support/Sampling.h"

#include <sys/stat.h>

#include <chrono>

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::json;
using testing_support::readText;
using testing_support::TempDir;

using testing_support::Ran;

// What a folder holds, never opening anything but regular files, and of
// those past 64 MiB (sparse giants) only their size and time.
std::map<std::string, std::string> snapshot(const fs::path &dir)
{
    std::map<std::string, std::string> s;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(dir, ec)))
        return s;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const fs::path p = it->path();
        struct stat st {};
        ::lstat(p.c_str(), &st);
        std::string what = std::to_string(st.st_mode) + ":" + std::to_string(st.st_size);
        if (S_ISLNK(st.st_mode))
            what += "->" + fs::read_symlink(p, ec).string();
        else if (S_ISREG(st.st_mode) && st.st_size <= (64 << 20))
            what += ":" + readText(p);
        else if (S_ISREG(st.st_mode))
            what += ":" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        s[p.lexically_relative(dir).string()] = what;
    }
    return s;
}

// ---- the places of one case ----

struct Place {
    fs::path root;
    fs::path media() const { return root / "media"; }
    fs::path fw() const { return root / "media" / "fwstore"; }
    fs::path machine() const { return root / "machine"; }
    // Where planted links lead: must stay as it was.
    fs::path outside() const { return root / "outside"; }
    // The working folder of the command: must stay empty.
    fs::path cwd() const { return root / "cwd"; }
    fs::path precious() const { return outside() / "precious.txt"; }

    std::vector<std::string> run(std::vector<std::string> more = {"--keys", "ok"}) const
    {
        std::vector<std::string> a{"run", "--media", media().string(), "--machine", machine().string()};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
    std::vector<std::string> inspect() const { return {"inspect", "--quiet", media().string()}; }
    std::vector<std::string> show() const { return {"machine", "show", machine().string()}; }
    void initMachine() const
    {
        auto o = testing_support::dlupdate({"machine", "init", machine().string()});
        if (o.status != 0)
            throw std::runtime_error("machine init failed: " + o.err);
    }
};

// The module's view of a stored file (pair swap; the files edited here are
// of even length).
Bytes view(const fs::path &file) { return testing_support::swapPairs(testing_support::readBytes(file)); }
void store(const fs::path &file, const Bytes &v)
{
    testing_support::writeFile(file, testing_support::swapPairs(v));
}

// Sets the value of the first `key` line of `file` to `value`, padded with
// a blank (which ends a number as well as a NUL does) to keep the file's
// length even.
void setValue(const fs::path &file, const std::string &key, std::string value)
{
    Bytes v = view(file);
    const std::string line = key + "\n";
    auto at = std::search(v.begin(), v.end(), line.begin(), line.end());
    if (at == v.end())
        throw std::runtime_error("no " + key + " in " + file.string());
    auto from = at + static_cast<std::ptrdiff_t>(line.size());
    auto to = std::find(from, v.end(), std::uint8_t(0));
    if ((value.size() + static_cast<std::size_t>(to - from)) % 2 != 0)
        value += ' ';
    std::size_t offset = static_cast<std::size_t>(from - v.begin());
    v.erase(from, to);
    v.insert(v.begin() + static_cast<std::ptrdiff_t>(offset), value.begin(), value.end());
    store(file, v);
}

void sparse(const fs::path &file, std::uintmax_t size) { fs::resize_file(file, size); }

void writeText(const fs::path &file, const std::string &text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// A manifest made from the sample's by `edit`, as text (a JSON number
// beyond a double cannot be made through the library).
std::vector<std::string> manifestCase(const Place &p, const std::function<std::string(json &)> &edit)
{
    json m = testing_support::sampleManifest();
    std::string text = edit(m);
    writeText(p.root / "manifest.json", text.empty() ? m.dump(2) : text);
    return {"mkmedia", (p.root / "manifest.json").string(), "--out", (p.root / "made").string()};
}

struct Case {
    std::string name;
    std::function<std::vector<std::string>(const Place &)> make; // builds the input, gives the command
    int status;
    std::string said; // in the first line of standard error (inspect: its first problem)
};

std::vector<Case> corpus()
{
    std::vector<Case> cases;
    auto add = [&](std::string name, std::function<std::vector<std::string>(const Place &)> make, int status,
                   std::string said) {
        cases.push_back({std::move(name), std::move(make), status, std::move(said)});
    };

    // ---- sizes past 32 bits and at the limits (sparse: no disk) ----
    const std::uintmax_t k4GiB = 4294967296u;
    add(
        "hdd3_4GiB_plus_2_run",
        [&](const Place &p) {
            sparse(p.fw() / "3", k4GiB + 2);
            return p.run();
        },
        1, "session 1: exit(1)");
    add(
        "hdd3_4GiB_plus_2_inspect",
        [&](const Place &p) {
            sparse(p.fw() / "3", k4GiB + 2);
            return p.inspect();
        },
        1, "HDD file 3: cannot be read (the module says \"file size over\")");
    add(
        "hdd1_2GiB_minus_1_run",
        [&](const Place &p) {
            sparse(p.fw() / "1", 2147483647u);
            return p.run();
        },
        1, "session 1: exit(1)");
    add(
        "hdd2_empty_run",
        [&](const Place &p) {
            sparse(p.fw() / "2", 0);
            return p.run();
        },
        1, "session 1: exit(1)");
    add(
        "image2_4GiB_plus_2_inspect",
        [&](const Place &p) {
            sparse(p.fw() / "firmImage2.bin", k4GiB + 2);
            return p.inspect();
        },
        1, "firmImage2.bin: larger than a 32-bit file size");
    add(
        "image2_4GiB_plus_2_run",
        [&](const Place &p) {
            sparse(p.fw() / "firmImage2.bin", k4GiB + 2);
            return p.run();
        },
        2, "dlBoardArchiver");
    add(
        "image0_4GiB_inspect",
        [&](const Place &p) {
            sparse(p.fw() / "firmImage0.bin", k4GiB);
            return p.inspect();
        },
        1, "firmImage0.bin: larger than a 32-bit file size");
    add(
        "image1_empty_run",
        [&](const Place &p) {
            sparse(p.fw() / "firmImage1.bin", 0);
            return p.run();
        },
        0, "session 1: returned 0");

    // ---- header numbers at and past the 32-bit limits ----
    for (const char *n : {"-1", "0", "2147483647", "2147483648", "99999999999999999999"}) {
        add(
            std::string("image2_compressed_") + n,
            [n](const Place &p) {
                setValue(p.fw() / "firmImage2.bin", "COMPRESSEDSIZE", n);
                return p.run();
            },
            0, "session 1: returned 0"); // no package found: nothing of image 2 offered
        // A size the lookup takes but the content does not have fails the
        // engine expansion, and staging with it; one it does not take
        // leaves image 2 unoffered.
        const bool taken = std::string(n) == "0" || std::string(n) == "2147483647";
        add(
            std::string("image2_expanded_") + n,
            [n](const Place &p) {
                setValue(p.fw() / "firmImage2.bin", "EXPANDEDSIZE", n);
                return p.run();
            },
            taken ? 2 : 0, taken ? "session 1: returned -1" : "session 1: returned 0");
        add(
            std::string("hdd_compressed_") + n,
            [n](const Place &p) {
                setValue(p.fw() / "1", "COMPRESSEDSIZE", n);
                return p.run();
            },
            1, "session 1: exit(1)");
    }

    // ---- names of devices, folders and other partitions ----
    const struct {
        const char *name;
        int status;
        const char *said;
    } dbNames[] = {
        {"/usbstor/0/fwstore/1", 2, "/usbstor/0 is read-only"},
        {"/dlfromALL/", 2, "the area is write-protected"},
        {"/SYS", 2, "no device serves this path"},
        {"/UND/../SYS/x", 2, "climbs above the device's root"},
        {"/nodevice/x", 2, "no device serves this path"},
        {"/ROM/PRF", 0, "session 1: returned 0"},     // a folder of "/ROM": the expansion goes nowhere
        {"/TMP/hdd.bin", 0, "session 1: returned 0"}, // replaced before the HDD update stages it
    };
    for (const auto &d : dbNames)
        add(
            std::string("image2_dbname_") + d.name,
            [name = d.name](const Place &p) {
                setValue(p.fw() / "firmImage2.bin", "DBNAME", name);
                return p.run();
            },
            d.status, d.said);

    // ---- links, FIFOs and devices in the media ----
    add(
        "media_link_out",
        [](const Place &p) {
            fs::remove(p.fw() / "firmImage1.bin");
            fs::create_symlink(p.precious(), p.fw() / "firmImage1.bin");
            return p.run();
        },
        0, "io: refused");
    add(
        "media_link_dev_zero",
        [](const Place &p) {
            fs::remove(p.fw() / "firmImage2.bin");
            fs::create_symlink("/dev/zero", p.fw() / "firmImage2.bin");
            return p.run();
        },
        0, "io: refused");
    add(
        "media_fifo_hdd2_run",
        [](const Place &p) {
            fs::remove(p.fw() / "2");
            ::mkfifo((p.fw() / "2").c_str(), 0644);
            return p.run();
        },
        0, "session 1: returned 0");
    add(
        "media_fifo_image0_inspect",
        [](const Place &p) {
            fs::remove(p.fw() / "firmImage0.bin");
            ::mkfifo((p.fw() / "firmImage0.bin").c_str(), 0644);
            return p.inspect();
        },
        1, "firmImage1.bin without firmImage0.bin");
    add(
        "media_is_a_file",
        [](const Place &p) {
            fs::remove_all(p.media());
            writeText(p.media(), "not a folder");
            return p.run();
        },
        5, "media folder");

    // ---- manifests ----
    add(
        "manifest_number_1e400",
        [](const Place &p) {
            return manifestCase(p, [](json &m) {
                m["hdd"]["fileSize"] = 123456789;
                std::string t = m.dump();
                t.replace(t.find("123456789"), 9, "1e400");
                return t;
            });
        },
        64, "hdd.fileSize: not valid JSON");
    add(
        "manifest_4GiB_sparse",
        [](const Place &p) {
            auto cmd = manifestCase(p, [](json &) { return std::string(); });
            sparse(p.root / "manifest.json", 4294967298u);
            return cmd;
        },
        64, "more than the 16777216 a manifest may hold");
    add(
        "manifest_fifo",
        [](const Place &p) {
            ::mkfifo((p.root / "manifest.json").c_str(), 0644);
            return std::vector<std::string>{"mkmedia", (p.root / "manifest.json").string(), "--out",
                                            (p.root / "made").string()};
        },
        64, "not a regular file");
    using Edit = std::function<void(json &)>;
    const std::vector<std::pair<std::string, Edit>> manifests = {
        {"size_string", [](json &m) { m["image1"]["content"]["size"] = "65536"; }},
        {"size_negative", [](json &m) { m["image1"]["content"]["size"] = -1; }},
        {"size_2_64", [](json &m) { m["image1"]["content"]["size"] = 18446744073709551615u; }},
        {"size_fraction", [](json &m) { m["image1"]["content"]["size"] = 0.5; }},
        {"fill_256", [](json &m) { m["image1"]["content"]["fill"] = 256; }},
        {"folder_array", [](json &m) { m["folder"] = json::array({"fwstore"}); }},
        {"file_size_odd", [](json &m) { m["hdd"]["fileSize"] = 16383; }},
        {"file_size_huge", [](json &m) { m["hdd"]["fileSize"] = 4294967296u; }},
        {"oem_two_chars", [](json &m) { m["image1"]["head"]["oem"] = "12"; }},
        {"unknown_key", [](json &m) { m["image2"]["lsr"]["versoin"] = "x"; }},
        {"target_null", [](json &m) { m["image1"]["head"]["target"] = nullptr; }},
    };
    for (const auto &[name, edit] : manifests)
        add(
            "manifest_" + name,
            [edit](const Place &p) {
                return manifestCase(p, [&](json &m) {
                    edit(m);
                    return std::string();
                });
            },
            64, "dlupdate mkmedia:");

    // ---- machine folders ----
    auto machineCase = [&](std::string name, std::function<void(const Place &)> damage, std::string said) {
        for (bool show : {true, false})
            add(
                "machine_" + name + (show ? "_show" : "_run"),
                [damage, show](const Place &p) {
                    p.initMachine();
                    damage(p);
                    return show ? p.show() : p.run();
                },
                5, said);
    };
    machineCase(
        "bootversion_fifo",
        [](const Place &p) {
            fs::remove(p.machine() / "bootversion.txt");
            ::mkfifo((p.machine() / "bootversion.txt").c_str(), 0644);
        },
        "bootversion.txt is a FIFO");
    machineCase(
        "bootversion_dev_zero",
        [](const Place &p) {
            fs::remove(p.machine() / "bootversion.txt");
            fs::create_symlink("/dev/zero", p.machine() / "bootversion.txt");
        },
        "bootversion.txt is a character device");
    machineCase(
        "bootversion_4GiB", [](const Place &p) { sparse(p.machine() / "bootversion.txt", 4294967296u); },
        "bootversion.txt holds 4294967296 bytes");
    machineCase(
        "bootversion_folder",
        [](const Place &p) {
            fs::remove(p.machine() / "bootversion.txt");
            fs::create_directory(p.machine() / "bootversion.txt");
        },
        "bootversion.txt is a folder");
    machineCase(
        "nvram_fifo",
        [](const Place &p) {
            fs::remove(p.machine() / "nvram.bin");
            ::mkfifo((p.machine() / "nvram.bin").c_str(), 0644);
        },
        "nvram.bin is a FIFO");
    machineCase(
        "nvram_short", [](const Place &p) { sparse(p.machine() / "nvram.bin", 100); },
        "nvram.bin holds 100 bytes");
    machineCase(
        "flashrom_dev_zero",
        [](const Place &p) {
            fs::remove(p.machine() / "flashrom.bin");
            fs::create_symlink("/dev/zero", p.machine() / "flashrom.bin");
        },
        "flashrom.bin is a character device");
    machineCase(
        "unit_fifo", [](const Place &p) { ::mkfifo((p.machine() / "units" / "lsr.bin").c_str(), 0644); },
        "lsr.bin is a FIFO");
    machineCase(
        "unit_4GiB",
        [](const Place &p) {
            writeText(p.machine() / "units" / "pfc.bin", "x");
            sparse(p.machine() / "units" / "pfc.bin", 4294967296u);
        },
        "pfc.bin holds 4294967296 bytes");
    machineCase(
        "units_a_file",
        [](const Place &p) {
            fs::remove_all(p.machine() / "units");
            writeText(p.machine() / "units", "x");
        },
        "units is not a folder");
    machineCase(
        "partition_a_file",
        [](const Place &p) {
            fs::remove_all(p.machine() / "disk" / "SYS");
            writeText(p.machine() / "disk" / "SYS", "x");
        },
        "SYS is not a folder");

    // Links planted at a unit's temporary and real names: the rewrite
    // replaces the name and never writes through the link.
    add(
        "machine_unit_temp_name_link",
        [](const Place &p) {
            p.initMachine();
            for (const char *u : {"lsr", "pfc", "engine", "scanner"})
                fs::create_symlink(p.precious(), p.machine() / "units" / (std::string(u) + ".bin.new"));
            return p.run();
        },
        0, "session 1: returned 0");
    add(
        "machine_unit_link_power_cut",
        [](const Place &p) {
            p.initMachine();
            fs::create_symlink(p.precious(), p.machine() / "units" / "lsr.bin");
            return p.run({"--keys", "ok", "--power-cut", "unit:1"});
        },
        9, "power cut in unit #1");
    add(
        "machine_folder_a_link",
        [](const Place &p) {
            fs::path real = p.root / "real-machine";
            if (testing_support::dlupdate({"machine", "init", real.string()}).status != 0)
                throw std::runtime_error("machine init failed");
            fs::create_directory_symlink(real, p.machine());
            return p.run();
        },
        0, "session 1: returned 0");

    // ---- outputs naming the machine or the media ----
    add(
        "panel_over_nvram",
        [](const Place &p) {
            p.initMachine();
            return p.run({"--keys", "ok", "--panel", (p.machine() / "nvram.bin").string()});
        },
        64, "--panel");
    add(
        "trace_over_hdd_file",
        [](const Place &p) {
            return p.run({"--keys", "ok", "--panel-trace", (p.fw() / ".." / "fwstore" / "1").string()});
        },
        64, "lies inside the media folder");
    add(
        "ramdisk_out_in_machine_link",
        [](const Place &p) {
            p.initMachine();
            fs::create_directory_symlink(p.machine(), p.root / "machine-link");
            return p.run({"--keys", "ok", "--ramdisk-out", (p.root / "machine-link" / "disk").string()});
        },
        64, "lies inside the machine folder");
    add(
        "ramdisk_out_link_into_media",
        [](const Place &p) {
            fs::create_directories(p.root / "rd");
            fs::create_symlink(p.fw() / "firmImage0.bin", p.root / "rd" / "HddUpdateProgress.log");
            return p.run({"--keys", "ok", "--ramdisk-out", (p.root / "rd").string()});
        },
        7, "session 1: returned 0");
    add(
        "report_over_flash",
        [](const Place &p) {
            p.initMachine();
            return p.run({"--keys", "ok", "--report", (p.machine() / "flashrom.bin").string()});
        },
        64, "--report");

    // ---- a stall keeps its status in every build ----
    add(
        "stall_msgq_send",
        [](const Place &p) {
            return p.run({"--keys", "ok", "--fault", "msgq-send:5:1"});
        },
        4, "fault msgq-send: msgQSend fails");
    return cases;
}

std::string firstLine(const std::string &text) { return text.substr(0, text.find('\n')); }

// What a command says first: its first line on standard error, or for
// inspect, which reports on standard output, its first problem.
std::string said(const Ran &r)
{
    if (!r.err.empty())
        return firstLine(r.err);
    auto at = r.out.find("problem: ");
    return at == std::string::npos ? "" : firstLine(r.out.substr(at + 9));
}

class Hostile : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        work_ = new TempDir;
        sample_ =
            new fs::path(testing_support::makeMedia(testing_support::sampleManifest(), *work_ / "sample"));
    }
    static void TearDownTestSuite()
    {
        delete sample_;
        delete work_;
    }
    static TempDir *work_;
    static fs::path *sample_;
};

TempDir *Hostile::work_ = nullptr;
fs::path *Hostile::sample_ = nullptr;

TEST_F(Hostile, EveryCaseEndsDocumentedContainedAndUnchanged)
{
    auto cases = corpus();
    if (!testing_support::wholeSweep()) { // every third case
        std::vector<Case> sample;
        for (std::size_t i = 0; i < cases.size(); i += 3)
            sample.push_back(cases[i]);
        cases = sample;
    }
    // A hang guard, not a speed check: qemu on a loaded machine is slow.
    const int limit = 600;

    struct Done {
        Ran ran;
        bool cwdEmpty = false, outsideSame = false, mediaSame = false;
        std::string error;
        std::map<std::string, std::string> outsideBefore, mediaBefore;
    };
    std::vector<Done> done(cases.size());
    // A folder of its own per case: some names hold slashes and "..".
    auto place = [&](std::size_t i) { return Place{*work_ / ("case" + std::to_string(i))}; };
    auto begin = [&](std::size_t i) -> std::optional<testing_support::Command> {
        try {
            const Place p = place(i);
            fs::create_directories(p.cwd());
            fs::create_directories(p.outside());
            writeText(p.precious(), "precious\n");
            fs::copy(*sample_, p.media(), fs::copy_options::recursive);
            auto command = cases[i].make(p);
            done[i].outsideBefore = snapshot(p.outside());
            done[i].mediaBefore = snapshot(p.media());
            return testing_support::Command{command, p.cwd(), p.root / "stdout", p.root / "stderr", {}};
        } catch (const std::exception &e) {
            done[i].error = e.what();
            return std::nullopt;
        }
    };
    auto end = [&](std::size_t i, Ran ran) {
        Done &d = done[i];
        const Place p = place(i);
        d.ran = std::move(ran);
        try {
            d.cwdEmpty = fs::is_empty(p.cwd());
            d.outsideSame = snapshot(p.outside()) == d.outsideBefore;
            d.mediaSame = snapshot(p.media()) == d.mediaBefore;
        } catch (const std::exception &e) {
            d.error = e.what();
        }
        std::error_code ec;
        fs::remove_all(p.root, ec);
    };
    // Two at a time: each command is a process of its own.
    testing_support::runEach(cases.size(), 2, std::chrono::seconds(limit), begin, end);

    std::size_t commands = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        const Ran &r = done[i].ran;
        SCOPED_TRACE(c.name + "\n--- stderr\n" + r.err.substr(0, 4000));
        if (std::getenv("HOSTILE_SHOW"))
            std::printf("=== %s: status %d signal %d%s: %s\n", c.name.c_str(), r.status, r.signal,
                        r.timedOut ? " TIMED OUT" : "", said(r).c_str());
        ASSERT_EQ(done[i].error, "");
        ++commands;
        EXPECT_FALSE(r.timedOut) << "no end within " << limit << " s";
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(said(r).find(c.said), std::string::npos)
            << "first line: " << said(r) << "\nwanted: " << c.said;
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos);
        EXPECT_EQ(r.err.find("runtime error:"), std::string::npos);
        EXPECT_TRUE(done[i].cwdEmpty) << "written into the working folder";
        EXPECT_TRUE(done[i].outsideSame) << "written outside through a link";
        EXPECT_TRUE(done[i].mediaSame) << "the media changed";
    }
    RecordProperty("commands", static_cast<int>(commands));
}

} // namespace
