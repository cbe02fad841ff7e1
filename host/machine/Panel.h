// The boot panel's character display: 15 rows of 82 cells, shared by every
// task that draws, with an optional trace of every display call.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

namespace host {

class Panel {
public:
    static constexpr int kRows = 15;
    static constexpr int kColumns = 82;
    // Each row holds exactly kColumns bytes, as drawn (not made printable).
    using Rows = std::array<std::string, kRows>;

    Panel();
    Panel(const Panel &) = delete;
    Panel &operator=(const Panel &) = delete;

    // Replaces the cells from (column, row) to the right with `text`. Cells
    // past the right or bottom edge are cut, and so is the part of a text
    // left of column 0; a row above the top draws nothing. Every call is
    // drawn whole, even when several tasks draw at once.
    void drawString(int column, int row, std::string_view text, std::string_view taskName);
    // Blanks every cell.
    void clear(std::string_view taskName);

    // A consistent copy of every cell.
    Rows snapshot() const;
    // One line per row, made printable, trailing blanks removed, each
    // followed by '\n'.
    std::string dump() const;

    // How a stored byte is shown: printable ASCII as is, anything else '?'.
    static char displayChar(char c);
    // `text` as the body of a JSON string (no quotes around it). Bytes
    // above 0x7e come out as \u00XX, so the result is plain ASCII.
    static std::string jsonEscape(std::string_view text);

    // --- trace: one JSON object per display call, in call order ---
    // Lines go to `out`, which must outlive the trace (or disableTrace()).
    void enableTrace(std::ostream &out);
    // False when the file cannot be created.
    bool enableTrace(const std::filesystem::path &file);
    void disableTrace();
    // True once a trace line could not be written.
    bool traceFailed() const;
    // From here on each trace line names session `n` ("session":n, last);
    // 0, the default, names none.
    void setTraceSession(int n);

    // --- change listeners (the live view) ---
    // Unsubscribes when destroyed; no call of its listener is running or
    // starts once reset() or the destructor returns.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription &&other) noexcept;
        Subscription &operator=(Subscription &&other) noexcept;
        Subscription(const Subscription &) = delete;
        Subscription &operator=(const Subscription &) = delete;
        ~Subscription() { reset(); }
        void reset();

    private:
        friend class Panel;
        Subscription(Panel *panel, int id) : panel_(panel), id_(id) {}
        Panel *panel_ = nullptr;
        int id_ = 0;
    };
    // Called after every display call, in the drawing thread and outside
    // the panel's lock (it may take a snapshot). It must be quick and must
    // not reset its own subscription.
    [[nodiscard]] Subscription onChange(std::function<void()> listener);

private:
    void traceLine(const std::string &line); // cells lock held
    void notify();
    void unsubscribe(int id);

    mutable std::mutex mutex_; // cells and trace
    Rows rows_;
    std::ostream *trace_ = nullptr;
    std::ofstream traceFile_;
    bool traceFailed_ = false;
    int traceSession_ = 0;

    std::mutex listenersMutex_; // held while listeners run
    std::map<int, std::function<void()>> listeners_;
    int nextListener_ = 1;
};

} // namespace host
