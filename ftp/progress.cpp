#include "progress.h"

#include <charconv>

#include "os.h"

namespace talven {

namespace {
constexpr int kPrintZoneWidth = 14;

void appendNumber(std::string& out, std::int64_t number) {
    char digits[24];
    const auto written = std::to_chars(digits, digits + sizeof digits, number);
    out.append(digits, written.ptr);
}
}  // namespace

bool IntervalCheck::due() {
    const auto now = std::chrono::steady_clock::now();
    if (asked_ && now - last_ < interval_) return false;
    asked_ = true;
    last_ = now;
    return true;
}

std::chrono::steady_clock::duration IntervalCheck::untilDue() const {
    if (!asked_) return {};
    const auto left = interval_ - (std::chrono::steady_clock::now() - last_);
    return left > std::chrono::steady_clock::duration::zero() ? left : std::chrono::steady_clock::duration::zero();
}

TransferProgress::TransferProgress(std::int32_t window, bool useWindow, int captionColumn, std::string_view separator)
    : window_(window),
      useWindow_(useWindow),
      captionColumn_(captionColumn),
      screen_(os::consoleIsScreen()),
      separator_(separator) {}

TransferProgress::~TransferProgress() { finish(); }

void TransferProgress::appendCaption(std::string& out, std::int64_t done) const {
    appendNumber(out, done);
    out.append(separator_);
    appendNumber(out, total_);
}

void TransferProgress::note(std::int64_t done, std::int64_t total) {
    total_ = total;
    noted_.push_back(done);
}

void TransferProgress::show(std::size_t count) {
    if (silent_) count = 0;
    if (count > noted_.size()) count = noted_.size();
    if (count > 0) {
        if (useWindow_) {
            std::string caption;
            for (std::size_t i = 0; i < count; ++i) {
                caption.clear();
                appendCaption(caption, noted_[i]);
                os::setWindowCaption(window_, caption);
            }
        } else if (screen_ && drawDue_.due()) {
            drawOnScreen(noted_[count - 1]);
            heldBack_ = -1;
        } else {
            heldBack_ = noted_[count - 1];
        }
    }
    noted_.clear();
}

std::chrono::milliseconds TransferProgress::untilDue() const {
    return std::chrono::ceil<std::chrono::milliseconds>(drawDue_.untilDue());
}

void TransferProgress::drawOnScreen(std::int64_t done) {
    drawn_.clear();
    appendCaption(drawn_, done);
    os::consoleWriteEachAtColumn(captionColumn_, drawn_, {drawn_.size()});
}

void TransferProgress::finish() {
    if (heldBack_ < 0) return;
    if (screen_) {
        drawOnScreen(heldBack_);
    } else {
        std::string caption;
        appendCaption(caption, heldBack_);
        os::consoleWrite(caption);
    }
    heldBack_ = -1;
}

void startUploadRow(const std::string& remoteName) {
    os::consoleMoveToColumn(1);
    os::consoleWrite(remoteName);
    os::consoleWrite(std::string(static_cast<std::size_t>(kPrintZoneWidth - os::consoleColumn() % kPrintZoneWidth), ' '));
}

void endConsoleRow() { os::consoleWrite(os::consoleLineEnd()); }

}  // namespace talven
