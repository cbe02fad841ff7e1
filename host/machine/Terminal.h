// The live view of `--interactive`: the panel drawn in the terminal and the
// keyboard as the panel's keys.
#pragma once

#include "host/machine/Panel.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace host {

class Kernel;
class Keys;

class Terminal {
public:
    struct Options {
        int inputFd = 0;
        int outputFd = 1;
        // The view is drawn only on a terminal, so that a redirected
        // standard output carries the console alone; tests force it.
        bool drawWhenNotTerminal = false;
        // The second 'q' (or Ctrl-C) once the menu is confirmed: the update
        // cannot be stopped on the device, only its power cut. Runs in the
        // reader thread; without it the second press is only shown.
        std::function<void()> onPowerCut = {};
        // The command whose window this is, for what it says there.
        std::string speaker;
    };

    // What one input byte does.
    struct KeyAction {
        enum class Kind { None, Press, Quit };
        Kind kind = Kind::None;
        int code = 0; // Press: the key code
        bool operator==(const KeyAction &) const = default;
    };

    // Starts the view: raw input when the input is a terminal, a reader
    // thread, and a hold on the kernel so that an idle machine waits for
    // keys. `onQuit` runs in the reader thread, once, when 'q' or Ctrl-C
    // is typed before the menu is confirmed (after it, see onPowerCut).
    // End of input releases the hold, so that a machine waiting
    // only for keys is reported as stalled. The terminal is restored by the
    // destructor, at exit() and on SIGINT, SIGTERM, SIGHUP, SIGQUIT and
    // SIGABRT. The panel, keys and kernel must outlive the view; one view
    // at a time may hold a terminal (std::logic_error otherwise).
    Terminal(Panel &panel, Keys &keys, Kernel &kernel, std::function<void()> onQuit, Options options);
    Terminal(Panel &panel, Keys &keys, Kernel &kernel, std::function<void()> onQuit)
        : Terminal(panel, keys, kernel, std::move(onQuit), Options{})
    {}
    ~Terminal();
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    // Text shown on the status line next to the key help.
    void setStatus(std::string text);

    // The smallest window the framed panel is drawn in; a smaller one gets
    // the compact view, down to kCompactColumns x kCompactRows, and below
    // that a line saying so and the console alone.
    static constexpr int kMinColumns = Panel::kColumns + 2;
    static constexpr int kMinRows = Panel::kRows + 3 + 4;
    static constexpr int kCompactColumns = 20;
    static constexpr int kCompactRows = 6;

    // Gives the terminal back at once (ending the process without
    // unwinding, as a power cut does). Async-signal-safe.
    static void restoreNow() noexcept;

    // Digits press the digit keys, CR and LF the confirm key, 'q', 'Q' and
    // Ctrl-C (byte 3, as raw input delivers it) quit; anything else nothing.
    static KeyAction mapKey(unsigned char byte);
    // What the status line says of a typed byte that is not a key.
    static std::string describeOther(unsigned char byte);
    // The framed panel and the status line: kRows + 3 lines, each ending
    // in '\n', all of the same width, printable ASCII only.
    static std::string renderFrame(const Panel::Rows &rows, std::string_view status);

    // The compact view of a small window: the menu's items with their
    // marks, or the items with their states, then what else of the panel
    // fits, then the status line (wrapped once when long): `rows` lines of
    // `columns` cells, each ending in '\n', printable ASCII only.
    static std::string renderCompact(const Panel::Rows &rows, std::string_view status, int columns,
                                     int rowsWanted);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace host
