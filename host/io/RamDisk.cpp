#include "host/io/RamDisk.h"

#include "host/Console.h"
#include "host/io/DevicePath.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

namespace host {

namespace {

constexpr std::size_t kShift = DosFsDevice::kClusterShift;
constexpr std::size_t kCluster = DosFsDevice::kClusterBytes;
constexpr std::size_t kMask = kCluster - 1;

std::size_t clustersFor(std::size_t bytes) { return (bytes + kMask) >> kShift; }

} // namespace

RamBlockDevice::RamBlockDevice(char *memory, std::size_t bytes, int bytesPerBlock)
    : memory_(memory), bytes_(bytes), bytesPerBlock_(bytesPerBlock)
{
    if (bytesPerBlock <= 0 || (!memory && bytes != 0))
        throw std::invalid_argument("RamBlockDevice: no memory or no block size");
}

// --- the volume: clusters in the device's memory ------------------------------

struct DosFsDevice::Node {
    Node(Volume *v, bool dir) : volume(v), directory(dir) {}
    ~Node();
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

    Volume *volume;
    bool directory;
    std::map<std::string, std::shared_ptr<Node>, std::less<>> children;
    std::vector<std::uint32_t> clusters; // the file's chain, in order
    std::size_t size = 0;
};

class DosFsDevice::Volume {
public:
    Volume(char *data, std::size_t clusters)
        : data_(data), count_(clusters), free_(clusters), used_((clusters + 63) / 64, 0)
    {
        // The bits past the last cluster stand for clusters in use, so
        // that no scan ever hands one out.
        if (clusters % 64 != 0)
            used_.back() = ~std::uint64_t{0} << (clusters % 64);
        root_ = std::make_shared<Node>(this, true);
    }
    ~Volume() { root_.reset(); } // nodes give their clusters back first
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;

    char *data() const { return data_; }
    std::size_t clusters() const { return count_; }
    std::size_t freeClusters() const { return free_; }
    const std::shared_ptr<Node> &root() const { return root_; }

    char *at(const Node &f, std::size_t pos) const
    {
        return data_ + ((static_cast<std::size_t>(f.clusters[pos >> kShift]) << kShift) | (pos & kMask));
    }

    // How many of the n bytes from pos lie one after the other in memory:
    // clusters are handed out in order, so a file is mostly one run, and a
    // run is copied at once instead of cluster by cluster. The caller has
    // checked that the file's clusters hold pos + n.
    std::size_t run(const Node &f, std::size_t pos, std::size_t n) const
    {
        std::size_t c = pos >> kShift;
        std::size_t bytes = kCluster - (pos & kMask);
        while (bytes < n && f.clusters[c + 1] == f.clusters[c] + 1) {
            bytes += kCluster;
            ++c;
        }
        return bytes < n ? bytes : n;
    }

    // Gives f at least n clusters; the caller has checked they are free.
    // A file goes on into the cluster after its last when that is free,
    // and otherwise into the first hole that holds all it needs (the lowest
    // free clusters when none does): a file written at once lies in one
    // run, which is read and copied at once.
    void grow(Node &f, std::size_t n)
    {
        if (f.clusters.size() >= n)
            return;
        std::size_t need = n - f.clusters.size();
        std::size_t at = !f.clusters.empty() && isFree(f.clusters.back() + std::size_t{1})
                             ? f.clusters.back() + std::size_t{1}
                             : firstHole(need);
        for (; need > 0; --need, ++at) {
            if (!isFree(at))
                at = firstHole(1);
            used_[at >> 6] |= std::uint64_t{1} << (at & 63);
            --free_;
            f.clusters.push_back(static_cast<std::uint32_t>(at));
        }
    }

    void truncate(Node &f)
    {
        release(f.clusters);
        f.size = 0;
    }

    void release(std::vector<std::uint32_t> &chain)
    {
        for (std::uint32_t c : chain)
            used_[c >> 6] &= ~(std::uint64_t{1} << (c & 63));
        free_ += chain.size();
        chain.clear();
    }

private:
    bool isFree(std::size_t c) const { return c < count_ && !((used_[c >> 6] >> (c & 63)) & 1); }

    // The first cluster of the first run of `need` free clusters, or the
    // lowest free cluster when no run is that long.
    std::size_t firstHole(std::size_t need) const
    {
        std::size_t lowest = count_, start = 0, run = 0;
        for (std::size_t w = 0; w < used_.size(); ++w) {
            const std::uint64_t word = used_[w];
            if (word == ~std::uint64_t{0}) {
                run = 0;
                continue;
            }
            if (word == 0 && run + 64 < need) {
                if (run == 0)
                    start = w * 64;
                lowest = std::min(lowest, w * 64);
                run += 64;
                continue;
            }
            for (std::size_t b = 0; b < 64; ++b) {
                if ((word >> b) & 1) {
                    run = 0;
                    continue;
                }
                lowest = std::min(lowest, w * 64 + b);
                if (run++ == 0)
                    start = w * 64 + b;
                if (run >= need)
                    return start;
            }
        }
        return lowest;
    }

    char *data_;
    std::size_t count_;
    std::size_t free_;                // clusters not in use
    std::vector<std::uint64_t> used_; // a bit per cluster
    std::shared_ptr<Node> root_;
};

DosFsDevice::Node::~Node()
{
    // A removed file keeps its clusters while some descriptor still holds it.
    volume->release(clusters);
}

// --- an open file ------------------------------------------------------------

class DosFsDevice::File final : public OpenFile {
public:
    File(std::shared_ptr<Volume> volume, std::shared_ptr<Node> node, int access)
        : volume_(std::move(volume)), node_(std::move(node)), canRead_(access != iof::kWrOnly),
          canWrite_(access != iof::kRdOnly)
    {}

    long read(char *buffer, std::size_t n) override
    {
        const Node &f = *node_;
        if (!canRead_)
            return -1;
        if (pos_ >= f.size)
            return 0;
        n = std::min(n, f.size - pos_);
        if (n == 1) { // the common case of a byte-wise verify
            *buffer = *volume_->at(f, pos_++);
            return 1;
        }
        for (std::size_t done = 0; done < n;) {
            std::size_t k = volume_->run(f, pos_, n - done);
            std::memcpy(buffer + done, volume_->at(f, pos_), k);
            done += k;
            pos_ += k;
        }
        return static_cast<long>(n);
    }

    const char *contiguous(std::size_t *size) const override
    {
        const Node &f = *node_;
        if (!canRead_ || f.size == 0 || volume_->run(f, 0, f.size) != f.size)
            return nullptr;
        *size = f.size;
        return volume_->at(f, 0);
    }

    long write(const char *buffer, std::size_t n) override
    {
        if (!canWrite_)
            return -1;
        if (n == 0)
            return 0;
        Node &f = *node_;
        std::size_t room = (f.clusters.size() + volume_->freeClusters()) << kShift;
        if (pos_ >= room)
            return -1;
        n = std::min(n, room - pos_);
        std::size_t end = pos_ + n;
        volume_->grow(f, clustersFor(end));
        // A gap left by a seek past the end reads as zeros, whatever the
        // reused clusters held before.
        for (std::size_t at = f.size; at < pos_;) {
            std::size_t k = std::min(pos_ - at, kCluster - (at & kMask));
            std::memset(volume_->at(f, at), 0, k);
            at += k;
        }
        for (std::size_t done = 0; done < n;) {
            std::size_t k = volume_->run(f, pos_, n - done);
            std::memcpy(volume_->at(f, pos_), buffer + done, k);
            done += k;
            pos_ += k;
        }
        f.size = std::max(f.size, end);
        return static_cast<long>(n);
    }

    long seek(long offset, int whence) override
    {
        long base = whence == iof::kSeekSet   ? 0
                    : whence == iof::kSeekCur ? static_cast<long>(pos_)
                    : whence == iof::kSeekEnd ? static_cast<long>(node_->size)
                                              : -1;
        long to = 0;
        if (base < 0 || __builtin_add_overflow(base, offset, &to) || to < 0)
            return -1;
        pos_ = static_cast<std::size_t>(to);
        return to;
    }

    long size() const override { return static_cast<long>(node_->size); }

private:
    std::shared_ptr<Volume> volume_; // before node_: outlives it
    std::shared_ptr<Node> node_;
    std::size_t pos_ = 0;
    bool canRead_;
    bool canWrite_;
};

// --- the device --------------------------------------------------------------

DosFsDevice::DosFsDevice(std::string name, const RamBlockDevice &blocks, Console &console)
    : Device(std::move(name)), console_(console)
{
    std::size_t clusters = blocks.bytes() > kTableBytes ? (blocks.bytes() - kTableBytes) >> kClusterShift : 0;
    char *data = clusters ? blocks.memory() + kTableBytes : nullptr;
    volume_ = std::make_shared<Volume>(data, clusters);
}

DosFsDevice::~DosFsDevice() = default;

std::size_t DosFsDevice::clusters() const { return volume_->clusters(); }

std::size_t DosFsDevice::freeClusters() const { return volume_->freeClusters(); }

std::optional<std::vector<std::string>> DosFsDevice::components(std::string_view rest)
{
    DeviceName name = splitDeviceName(rest);
    if (name.refusal) {
        console_.report("io: refused \"" + this->name() + std::string(rest) + "\": " + name.refusal);
        return std::nullopt;
    }
    return std::move(name.parts);
}

std::shared_ptr<DosFsDevice::Node> DosFsDevice::walk(const std::vector<std::string> &parts,
                                                     std::size_t depth) const
{
    std::shared_ptr<Node> node = volume_->root();
    for (std::size_t i = 0; i < depth; ++i) {
        if (!node->directory)
            return nullptr;
        auto it = node->children.find(parts[i]);
        if (it == node->children.end())
            return nullptr;
        node = it->second;
    }
    return node;
}

std::shared_ptr<DosFsDevice::Node> DosFsDevice::lookup(std::string_view rest)
{
    auto parts = components(rest);
    return parts ? walk(*parts, parts->size()) : nullptr;
}

std::shared_ptr<DosFsDevice::Node> DosFsDevice::parentOf(std::string_view rest, std::string *leaf)
{
    auto parts = components(rest);
    if (!parts || parts->empty()) // the root has no parent
        return nullptr;
    *leaf = parts->back();
    auto node = walk(*parts, parts->size() - 1);
    return node && node->directory ? node : nullptr;
}

std::unique_ptr<OpenFile> DosFsDevice::open(std::string_view rest, int flags, int /*mode*/)
{
    int access = flags & iof::kAccMode;
    if (access == iof::kAccMode)
        return nullptr;
    std::string leaf;
    auto parent = parentOf(rest, &leaf);
    if (!parent)
        return nullptr;
    std::shared_ptr<Node> node;
    auto it = parent->children.find(leaf);
    if (it == parent->children.end()) {
        if (!(flags & iof::kCreat))
            return nullptr;
        node = std::make_shared<Node>(volume_.get(), false);
        parent->children.emplace(leaf, node);
    } else {
        node = it->second;
        if (node->directory)
            return nullptr;
        if (flags & iof::kTrunc)
            volume_->truncate(*node);
    }
    return std::make_unique<File>(volume_, std::move(node), access);
}

bool DosFsDevice::remove(std::string_view rest)
{
    std::string leaf;
    auto parent = parentOf(rest, &leaf);
    if (!parent)
        return false;
    auto it = parent->children.find(leaf);
    if (it == parent->children.end() || it->second->directory)
        return false;
    parent->children.erase(it);
    return true;
}

bool DosFsDevice::makeDirectory(std::string_view rest)
{
    std::string leaf;
    auto parent = parentOf(rest, &leaf);
    return parent && parent->children.emplace(leaf, std::make_shared<Node>(volume_.get(), true)).second;
}

std::optional<std::vector<DirEntry>> DosFsDevice::list(std::string_view rest)
{
    auto node = lookup(rest);
    if (!node || !node->directory)
        return std::nullopt;
    std::vector<DirEntry> entries;
    for (const auto &[name, child] : node->children)
        entries.push_back({name, child->directory, static_cast<long>(child->size)});
    return entries;
}

bool DosFsDevice::isDirectory(std::string_view rest)
{
    auto node = lookup(rest);
    return node && node->directory;
}

bool DosFsDevice::sameFile(std::string_view a, std::string_view b)
{
    // No links here: equal names are the one way to reach the same file.
    DeviceName na = splitDeviceName(a);
    DeviceName nb = splitDeviceName(b);
    return !na.refusal && !nb.refusal && na.parts == nb.parts;
}

bool DosFsDevice::copyOut(const std::filesystem::path &dir,
                          const std::function<bool(const std::filesystem::path &)> &refuse) const
{
    namespace fs = std::filesystem;
    struct Copier {
        const Volume &volume;
        const std::function<bool(const fs::path &)> &refuse;
        bool folder(const Node &node, const fs::path &to) const
        {
            if (refuse && refuse(to))
                return false;
            std::error_code ec;
            fs::create_directories(to, ec);
            if (ec)
                return false;
            for (const auto &[name, child] : node.children) {
                bool ok = child->directory ? folder(*child, to / name) : file(*child, to / name);
                if (!ok)
                    return false;
            }
            return true;
        }
        bool file(const Node &node, const fs::path &to) const
        {
            if (refuse && refuse(to))
                return false;
            std::ofstream out(to, std::ios::binary | std::ios::trunc);
            for (std::size_t at = 0; out && at < node.size; at += kCluster)
                out.write(volume.at(node, at),
                          static_cast<std::streamsize>(std::min(kCluster, node.size - at)));
            out.close();
            return !out.fail();
        }
    };
    return Copier{*volume_, refuse}.folder(*volume_->root(), dir);
}

} // namespace host
