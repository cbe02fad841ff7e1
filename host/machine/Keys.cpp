#include "host/machine/Keys.h"

#include "host/kernel/Kernel.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace host {

Keys::Keys(Kernel &kernel) : kernel_(kernel) {}

void Keys::driverInit()
{
    std::lock_guard lock(mutex_);
    unlocked_ = false;
}

std::uint16_t *Keys::getFocus(MsgQueue *queue)
{
    if (!queue || !kernel_.isQueue(queue))
        return nullptr;
    MsgQueue *previous;
    {
        std::lock_guard lock(mutex_);
        previous = focus_;
        focus_ = queue;
    }
    // The stall report names the queue a key would wake.
    if (previous && previous != queue)
        kernel_.labelQueue(previous, "");
    kernel_.labelQueue(queue, "key focus");
    return table_.data();
}

void Keys::unlock()
{
    std::lock_guard lock(mutex_);
    unlocked_ = true;
    ++unlocks_;
}

void Keys::lock()
{
    std::lock_guard lock(mutex_);
    unlocked_ = false;
}

bool Keys::unlocked() const
{
    std::lock_guard lock(mutex_);
    return unlocked_;
}

unsigned long Keys::unlocks() const
{
    std::lock_guard lock(mutex_);
    return unlocks_;
}

MsgQueue *Keys::focus() const
{
    std::lock_guard lock(mutex_);
    return focus_;
}

bool Keys::enabled(int code) const
{
    std::lock_guard lock(mutex_);
    return enabledLocked(code);
}

bool Keys::enabledLocked(int code) const
{
    if (code < 0 || code >= kCodeLimit)
        return false;
    std::uint16_t word = table_[static_cast<std::size_t>(code / 16)];
    return (word >> (code % 16)) & 1U;
}

bool Keys::press(int code)
{
    if (code < 0 || code > 255)
        return false;
    return send(kPressEvent, static_cast<std::uint8_t>(code), true);
}

bool Keys::postRaw(std::uint8_t kind, std::uint8_t code) { return send(kind, code, false); }

bool Keys::send(std::uint8_t kind, std::uint8_t code, bool asPress)
{
    std::unique_lock lock(mutex_);
    if (!focus_)
        return false;
    if (asPress && (!unlocked_ || !enabledLocked(code)))
        return false;
    MsgQueue *queue = focus_;
    // From a task, the post may hand the processor to a waiting task that
    // calls the driver in turn; from the keyboard thread it never blocks,
    // and keeping the lock orders the press strictly against lock().
    if (kernel_.inTask())
        lock.unlock();
    const char message[kMessageBytes] = {static_cast<char>(kind), static_cast<char>(code), 0, 0};
    return kernel_.post(queue, message, kMessageBytes) == 0;
}

// --- key script ---

namespace {

std::optional<std::uint8_t> parseByte(std::string_view s)
{
    if (s.empty() || s.size() > 3)
        return std::nullopt;
    unsigned value = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255)
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

std::optional<KeyEntry> parseEntry(std::string_view e)
{
    if (e.size() == 1 && e[0] >= '0' && e[0] <= '9')
        return KeyEntry{KeyEntry::Kind::Press, Keys::kPressEvent,
                        static_cast<std::uint8_t>(Keys::kDigitCodes[static_cast<std::size_t>(e[0] - '0')])};
    if (e.size() == 2 && (e[0] == 'o' || e[0] == 'O') && (e[1] == 'k' || e[1] == 'K'))
        return KeyEntry{KeyEntry::Kind::Press, Keys::kPressEvent,
                        static_cast<std::uint8_t>(Keys::kConfirmCode)};
    if (e.size() > 1 && e[0] == 'k') {
        if (auto code = parseByte(e.substr(1)))
            return KeyEntry{KeyEntry::Kind::Press, Keys::kPressEvent, *code};
        return std::nullopt;
    }
    if (e.size() > 1 && e[0] == 'm') {
        std::string_view rest = e.substr(1);
        std::size_t colon = rest.find(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        auto kind = parseByte(rest.substr(0, colon));
        auto code = parseByte(rest.substr(colon + 1));
        if (kind && code)
            return KeyEntry{KeyEntry::Kind::Raw, *kind, *code};
    }
    return std::nullopt;
}

} // namespace

std::vector<KeyEntry> KeyScript::parse(std::string_view list)
{
    std::vector<KeyEntry> entries;
    if (list.empty())
        return entries;
    std::size_t position = 0;
    for (;;) {
        std::size_t comma = list.find(',');
        std::string_view e = list.substr(0, comma);
        // "1, ok" as typed by hand: blanks after a comma are not part of the entry.
        e.remove_prefix(std::min(e.size(), e.find_first_not_of(" \t")));
        ++position;
        auto entry = parseEntry(e);
        if (!entry)
            throw std::invalid_argument(
                "bad key entry " + std::to_string(position) + " \"" + std::string(e) +
                "\" in --keys: expected 0 to 9, ok, kN or mK:N with K and N from 0 to 255");
        entries.push_back(*entry);
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return entries;
}

KeyScript::KeyScript(Keys &keys, std::vector<KeyEntry> entries) : keys_(keys), entries_(std::move(entries)) {}

KeyScript::~KeyScript() { detach(); }

void KeyScript::attach()
{
    keys_.kernel().setReceiveHook([this](MsgQueue *q) { beforeWait(q); });
    std::lock_guard lock(mutex_);
    attached_ = true;
}

void KeyScript::detach()
{
    {
        std::lock_guard lock(mutex_);
        if (!attached_)
            return;
        attached_ = false;
    }
    keys_.kernel().setReceiveHook(nullptr);
}

void KeyScript::beforeWait(MsgQueue *queue)
{
    if (queue != keys_.focus() || !keys_.unlocked())
        return;
    for (;;) {
        KeyEntry e;
        {
            // Not held while pressing: the press may switch tasks, and the
            // next task may wait on the queue in turn.
            std::lock_guard lock(mutex_);
            if (next_ >= entries_.size())
                return;
            e = entries_[next_++];
        }
        bool sent = e.kind == KeyEntry::Kind::Raw ? keys_.postRaw(e.event, e.code) : keys_.press(e.code);
        if (sent)
            return;
    }
}

std::size_t KeyScript::used() const
{
    std::lock_guard lock(mutex_);
    return next_;
}

} // namespace host
