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
        } else if (screen_) {
            texts_.clear();
            ends_.clear();
            for (std::size_t i = 0; i < count; ++i) {
                appendCaption(texts_, noted_[i]);
                ends_.push_back(texts_.size());
            }
            os::consoleWriteEachAtColumn(captionColumn_, texts_, ends_);
        } else {
            heldBack_ = noted_[count - 1];
        }
    }
    noted_.clear();
}

void TransferProgress::finish() {
    if (heldBack_ < 0) return;
    std::string caption;
    appendCaption(caption, heldBack_);
    os::consoleWrite(caption);
    heldBack_ = -1;
}

void startUploadRow(const std::string& remoteName) {
    os::consoleMoveToColumn(1);
    os::consoleWrite(remoteName);
    os::consoleWrite(std::string(static_cast<std::size_t>(kPrintZoneWidth - os::consoleColumn() % kPrintZoneWidth), ' '));
}

void endConsoleRow() { os::consoleWrite(os::consoleLineEnd()); }

}  // namespace talven
