// The running progress of a transfer: in a caller's window, or on the
// console row of the transfer.
//
// Every caption reads "done<separator>total". A transfer notes one caption
// per chunk moved and shows the noted ones after it has moved a run of
// chunks, before it next waits: in a window each caption is set in turn. On
// a screen each caption overwrites the last from the caption column, and
// none is shorter than the one before, so the row only ever reads as the
// latest one drawn: the last caption of a run is drawn, at most once per
// kCaptionInterval, and one held back meanwhile is drawn when the transfer
// ends. A person sees the row as before at every moment, at a fraction of
// the console writes (131,072 captions for 1 GiB, some ten a second drawn).
// Where the console is a file or a pipe there is no cursor to place, so only
// the last caption shown is written, when the transfer ends: the output
// stays small and readable.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talven {

// How often a screen's progress row is drawn at most.
inline constexpr std::chrono::milliseconds kCaptionInterval{100};

// A clock check that says yes at most once per interval: at the first ask,
// then at the first ask once the interval has passed since the last yes.
class IntervalCheck {
public:
    explicit IntervalCheck(std::chrono::steady_clock::duration interval) : interval_(interval) {}
    bool due();
    // How long until due() says yes; zero when it would now.
    std::chrono::steady_clock::duration untilDue() const;

private:
    std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point last_{};
    bool asked_ = false;
};

class TransferProgress {
public:
    // Captions go to window when useWindow is set, else to the console from
    // captionColumn (counted from 1).
    TransferProgress(std::int32_t window, bool useWindow, int captionColumn, std::string_view separator);
    ~TransferProgress();
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;

    // Notes the caption for done out of total, to be shown by show().
    void note(std::int64_t done, std::int64_t total);
    // Shows the first count captions noted since the last show, in order,
    // and drops the others (those of chunks that did not make it).
    void show(std::size_t count);
    void showAll() { show(noted_.size()); }
    std::size_t notedCount() const { return noted_.size(); }
    // True when a caption is held back from the screen until it is due.
    bool heldOnScreen() const { return screen_ && !useWindow_ && heldBack_ >= 0; }
    // How long until the caption held back is due; for waiting that long
    // for data before drawing it, so a transfer that stops shows its latest.
    std::chrono::milliseconds untilDue() const;
    // Writes a caption still held back; called before anything else goes on
    // the row, and on a screen before a wait for data.
    void finish();
    // Shows nothing from now on: the caller's callback gets the progress.
    void silence() { silent_ = true; }

private:
    void appendCaption(std::string& out, std::int64_t done) const;
    void drawOnScreen(std::int64_t done);

    std::int32_t window_;
    bool useWindow_;
    int captionColumn_;
    bool screen_;
    std::string separator_;
    std::int64_t total_ = 0;
    std::vector<std::int64_t> noted_;
    std::string drawn_;                // the caption being drawn, buffer reused
    IntervalCheck drawDue_{kCaptionInterval};
    std::int64_t heldBack_ = -1;       // the last caption's count, not yet written
    bool silent_ = false;
};

// Starts an upload's console row: the remote name from column 1, then blanks
// up to the start of the next 14-column print zone.
void startUploadRow(const std::string& remoteName);
void endConsoleRow();

}  // namespace talven
