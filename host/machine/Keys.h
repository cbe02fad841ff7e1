// The boot panel's key driver and the scripted key presses of `--keys`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class Kernel;
class MsgQueue;

class Keys {
public:
    static constexpr std::size_t kTableWords = 15;
    static constexpr std::size_t kTableBytes = kTableWords * sizeof(std::uint16_t);
    static constexpr unsigned kMessageBytes = 4;
    static constexpr std::uint8_t kPressEvent = 1;
    // Codes from kTableWords * 16 up have no bit in the table.
    static constexpr int kCodeLimit = static_cast<int>(kTableWords) * 16;
    static constexpr int kConfirmCode = 52;
    // Key codes of the digit keys 0 to 9.
    static constexpr std::array<int, 10> kDigitCodes{37, 4, 5, 6, 7, 20, 21, 22, 23, 36};

    // Posts into the kernel's queues; must not outlive it.
    explicit Keys(Kernel &kernel);
    Keys(const Keys &) = delete;
    Keys &operator=(const Keys &) = delete;

    // --- the boot environment's calls ---
    // Prepares the driver: keys start locked.
    void driverInit();
    // Sends key messages to `queue` from now on and returns the key table,
    // owned by the driver; null when `queue` is not a queue of the kernel.
    std::uint16_t *getFocus(MsgQueue *queue);
    void unlock();
    void lock();

    bool unlocked() const;
    // How many times the keys were unlocked: each menu unlocks them anew.
    unsigned long unlocks() const;
    MsgQueue *focus() const;
    // Whether the table enables `code` now.
    bool enabled(int code) const;

    // --- the keyboard's side (a host thread or a task) ---
    // A press of key `code`: sends {1, code, 0, 0} to the focus queue only
    // while unlocked and only when the table enables the code. True when a
    // message was sent.
    bool press(int code);
    // Posts {kind, code, 0, 0} into the focus queue, enabled or not,
    // locked or not. True when a message was sent.
    bool postRaw(std::uint8_t kind, std::uint8_t code);

    Kernel &kernel() const { return kernel_; }

private:
    bool enabledLocked(int code) const;
    bool send(std::uint8_t kind, std::uint8_t code, bool asPress);

    Kernel &kernel_;
    mutable std::mutex mutex_;
    MsgQueue *focus_ = nullptr;
    bool unlocked_ = false;
    unsigned long unlocks_ = 0;
    // Written by the module through the pointer of getFocus. It is read
    // only while unlocked: the module fills it before unlock(), whose lock
    // publishes the writes to the keyboard thread.
    std::array<std::uint16_t, kTableWords> table_{};
};

// One entry of a key script.
struct KeyEntry {
    enum class Kind { Press, Raw };
    Kind kind = Kind::Press;
    std::uint8_t event = Keys::kPressEvent; // Raw only
    std::uint8_t code = 0;
    bool operator==(const KeyEntry &) const = default;
};

// Presses keys from a script each time a task is about to wait on the
// empty key focus queue with keys unlocked.
class KeyScript {
public:
    // "1,2,ok,k53,m2:4": digits 0-9, ok (confirm), kN (key N), mK:N (raw
    // message of kind K and code N); numbers 0 to 255. An empty list is an
    // empty script. std::invalid_argument naming the first bad entry.
    static std::vector<KeyEntry> parse(std::string_view list);

    KeyScript(Keys &keys, std::vector<KeyEntry> entries);
    ~KeyScript(); // detaches
    KeyScript(const KeyScript &) = delete;
    KeyScript &operator=(const KeyScript &) = delete;

    // Installs the kernel's receive hook (replacing any other).
    void attach();
    void detach();

    // The hook: presses entries until one sends a message or the script is
    // used up. Runs in the task about to wait on `queue`.
    void beforeWait(MsgQueue *queue);

    std::size_t size() const { return entries_.size(); }
    // Entries pressed so far.
    std::size_t used() const;

private:
    Keys &keys_;
    const std::vector<KeyEntry> entries_;
    mutable std::mutex mutex_;
    std::size_t next_ = 0;
    bool attached_ = false;
};

} // namespace host
