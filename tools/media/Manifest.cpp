#include "tools/media/Manifest.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace media {

namespace fs = std::filesystem;
using nlohmann::json;

// Far more than any manifest holds; a larger file is no manifest.
constexpr off_t kManifestLimit = 16 << 20;

namespace {

// A value of the manifest with its place, so every error says where.
class Node {
public:
    Node(const json &value, std::string where, const std::string &file)
        : value_(value), where_(std::move(where)), file_(file)
    {}

    [[noreturn]] void fail(const std::string &message) const
    {
        throw MediaError(file_ + ": " + (where_.empty() ? "" : where_ + ": ") + message);
    }

    bool isString() const { return value_.is_string(); }

    Node object(std::initializer_list<const char *> allowed) const
    {
        if (!value_.is_object())
            fail("must be an object");
        for (const auto &item : value_.items()) {
            bool known = false;
            for (const char *key : allowed)
                known = known || item.key() == key;
            if (!known)
                fail("unknown key \"" + item.key() + "\"");
        }
        return *this;
    }

    std::optional<Node> find(const char *key) const
    {
        auto it = value_.find(key);
        if (it == value_.end())
            return std::nullopt;
        return Node(*it, where_.empty() ? key : where_ + "." + key, file_);
    }

    Node at(const char *key) const
    {
        if (auto node = find(key))
            return *node;
        fail("missing key \"" + std::string(key) + "\"");
    }

    std::vector<Node> array() const
    {
        if (!value_.is_array())
            fail("must be an array");
        std::vector<Node> items;
        for (std::size_t i = 0; i < value_.size(); ++i)
            items.emplace_back(value_[i], where_ + "[" + std::to_string(i) + "]", file_);
        return items;
    }

    std::string string() const
    {
        if (!value_.is_string())
            fail("must be a string");
        return value_.get<std::string>();
    }

    char character() const
    {
        std::string s = string();
        if (s.size() != 1)
            fail("must be one character");
        return s[0];
    }

    std::uint64_t count(std::uint64_t max = UINT64_MAX) const
    {
        if (!value_.is_number_integer() || (!value_.is_number_unsigned() && value_.get<std::int64_t>() < 0))
            fail("must be a whole number, 0 or more");
        auto n = value_.get<std::uint64_t>();
        if (n > max)
            fail("must be at most " + std::to_string(max));
        return n;
    }

    const std::string &where() const { return where_; }

private:
    const json &value_;
    std::string where_;
    const std::string &file_;
};

// Where the parser is in the document, as the path the errors name
// ("hdd.fileSize", "hdd.files[2].source").
class JsonPlace {
public:
    json::parser_callback_t callback()
    {
        return [this](int, json::parse_event_t event, json &parsed) {
            using E = json::parse_event_t;
            switch (event) {
            case E::object_start:
            case E::array_start:
                levels_.push_back({event == E::array_start, {}, 0});
                break;
            case E::key:
                levels_.back().key = parsed.get<std::string>();
                break;
            case E::object_end:
            case E::array_end:
                levels_.pop_back();
                [[fallthrough]];
            case E::value:
                if (!levels_.empty() && levels_.back().isArray)
                    ++levels_.back().index;
                break;
            }
            return true;
        };
    }

    std::string where() const
    {
        std::string w;
        for (const Level &l : levels_) {
            if (l.isArray)
                w += "[" + std::to_string(l.index) + "]";
            else if (!l.key.empty())
                w += (w.empty() ? "" : ".") + l.key;
        }
        return w;
    }

private:
    struct Level {
        bool isArray;
        std::string key;
        std::size_t index;
    };
    std::vector<Level> levels_;
};

class ManifestParser {
public:
    ManifestParser(fs::path baseDir, std::string name) : baseDir_(std::move(baseDir)), name_(std::move(name))
    {}

    Manifest parse(const std::string &text)
    {
        json root;
        JsonPlace place;
        try {
            root = json::parse(text, place.callback());
        } catch (const json::exception &e) {
            // A number beyond what JSON numbers hold (1e400) is refused by
            // the parser itself: say where it stood.
            std::string where = place.where();
            throw MediaError(name_ + ": " + (where.empty() ? "" : where + ": ") +
                             "not valid JSON: " + e.what());
        }
        Node top = Node(root, "", name_).object({"folder", "image0", "image1", "image2", "hdd"});
        Manifest m;
        Node folder = top.at("folder");
        std::string where = folder.string();
        if (where != "fwstore" && where != "root")
            folder.fail("must be \"fwstore\" or \"root\"");
        m.modelFolder = where == "fwstore";
        if (auto n = top.find("image0"))
            m.image0 = image0(*n);
        if (auto n = top.find("image1"))
            m.image1 = image1(*n);
        if (auto n = top.find("image2"))
            m.image2 = image2(*n);
        if (auto n = top.find("hdd"))
            m.hdd = hdd(*n);
        return m;
    }

private:
    fs::path path(const Node &node) const
    {
        std::string text = node.string();
        if (text.empty())
            node.fail("must not be empty");
        return baseDir_ / text;
    }

    Source source(const Node &node) const
    {
        if (node.isString())
            return path(node);
        Node obj = node.object({"size", "seed", "fill"});
        Generated gen;
        gen.size = obj.at("size").count();
        auto seed = obj.find("seed");
        auto fill = obj.find("fill");
        if (seed && fill)
            obj.fail("give \"seed\" or \"fill\", not both");
        if (seed)
            gen.seed = seed->count();
        if (fill)
            gen.fill = static_cast<std::uint8_t>(fill->count(255));
        return gen;
    }

    Image0Section image0(const Node &node) const
    {
        Node obj = node.object({"content", "packages"});
        Node pkgs = obj.at("packages").object({"ui1", "ui0", "uif"});
        Image0Section section{source(obj.at("content")), {}};
        for (std::size_t i = 0; i < section.packages.size(); ++i) {
            Node p =
                pkgs.at(kUiPackageNames[i]).object({"source", "version", "language", "dbName", "comment"});
            section.packages[i] = {source(p.at("source")), p.at("version").string(),
                                   p.at("language").string(), p.at("dbName").string(),
                                   p.at("comment").string()};
        }
        return section;
    }

    Image1Section image1(const Node &node) const
    {
        Node obj = node.object({"content", "head"});
        Image1Section section{source(obj.at("content")), std::nullopt};
        if (auto h = obj.find("head")) {
            Node head = h->object({"target", "version", "oem", "shipping"});
            section.head = VersionHead{head.at("target").string(), head.at("version").string(),
                                       head.at("oem").character(), head.at("shipping").character()};
        }
        return section;
    }

    Image2Section image2(const Node &node) const
    {
        Node obj = node.object({"lsr", "pfc", "engine", "scanner"});
        Image2Section section;
        bool any = false;
        for (std::size_t i = 0; i < std::size(kUnits); ++i) {
            if (auto u = obj.find(kUnits[i].name)) {
                Node unit = u->object({"source", "version"});
                section.units[i] = UnitSection{source(unit.at("source")), unit.at("version").string()};
                any = true;
            }
        }
        if (!any)
            obj.fail("names no unit (lsr, pfc, engine, scanner); leave image2 out instead");
        return section;
    }

    HddSection hdd(const Node &node) const
    {
        Node obj = node.object({"tree", "files", "versionText", "fileSize"});
        HddSection section;
        if (auto tree = obj.find("tree"))
            section.tree = path(*tree);
        if (auto files = obj.find("files"))
            for (const Node &item : files->array()) {
                Node f = item.object({"source", "dbName"});
                section.files.push_back({path(f.at("source")), f.at("dbName").string()});
            }
        Node text = obj.at("versionText").object({"target", "oem", "major", "minor", "shipping"});
        section.versionText = {text.at("target").string(), text.at("oem").string(), text.at("major").string(),
                               text.at("minor").string(), text.at("shipping").string()};
        Node size = obj.at("fileSize");
        section.fileSize = size.count(INT32_MAX);
        if (section.fileSize < 2 || section.fileSize % 2 != 0)
            size.fail("must be an even number of bytes, at least 2");
        return section;
    }

    fs::path baseDir_;
    std::string name_;
};

} // namespace

Manifest parseManifest(const std::string &text, const fs::path &baseDir, const std::string &name)
{
    return ManifestParser(baseDir, name).parse(text);
}

Manifest readManifest(const fs::path &file)
{
    // Opened without blocking (a FIFO must not hang mkmedia) and measured
    // before it is read: a manifest is a few kilobytes of text.
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw MediaError("cannot read the manifest " + file.string() + ": " + std::strerror(errno));
    std::string text;
    struct stat st {};
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool fits = regular && st.st_size <= kManifestLimit;
    if (fits) {
        text.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::read(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        text.resize(done);
    }
    ::close(fd);
    if (!regular)
        throw MediaError("cannot read the manifest " + file.string() + ": not a regular file");
    if (!fits)
        throw MediaError("the manifest " + file.string() + " holds " + std::to_string(st.st_size) +
                         " bytes, more than the " + std::to_string(kManifestLimit) + " a manifest may hold");
    return parseManifest(text, file.parent_path(), file.string());
}

} // namespace media
