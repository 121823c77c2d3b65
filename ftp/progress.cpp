#include "progress.h"

#include "os.h"

namespace talven {

namespace {
constexpr int kPrintZoneWidth = 14;
}

TransferProgress::TransferProgress(std::int32_t window, bool useWindow, int captionColumn)
    : window_(window), useWindow_(useWindow), captionColumn_(captionColumn), screen_(os::consoleIsScreen()) {}

TransferProgress::~TransferProgress() { finish(); }

void TransferProgress::show(const std::string& caption) {
    if (useWindow_) {
        os::setWindowCaption(window_, caption);
    } else if (screen_) {
        os::consoleMoveToColumn(captionColumn_);
        os::consoleWrite(caption);
    } else {
        heldBack_ = caption;
    }
}

void TransferProgress::finish() {
    if (heldBack_.empty()) return;
    os::consoleWrite(heldBack_);
    heldBack_.clear();
}

void startUploadRow(const std::string& remoteName) {
    os::consoleMoveToColumn(1);
    os::consoleWrite(remoteName);
    os::consoleWrite(std::string(static_cast<std::size_t>(kPrintZoneWidth - os::consoleColumn() % kPrintZoneWidth), ' '));
}

void endConsoleRow() { os::consoleWrite(os::consoleLineEnd()); }

}  // namespace talven
