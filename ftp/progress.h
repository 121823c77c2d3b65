// The running progress of a transfer: in a caller's window, or on the
// console row of the transfer.
//
// On a screen every caption is written where it belongs, each overwriting
// the last. Where the console is a file or a pipe there is no cursor to
// place, so only the last caption of a transfer is written, when the
// transfer ends: the output stays small and readable.
#pragma once

#include <cstdint>
#include <string>

namespace talven {

class TransferProgress {
public:
    // Captions go to window when useWindow is set, else to the console from
    // captionColumn (counted from 1).
    TransferProgress(std::int32_t window, bool useWindow, int captionColumn);
    ~TransferProgress();
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;

    void show(const std::string& caption);
    // Writes a caption still held back; called before anything else goes on
    // the row.
    void finish();

private:
    std::int32_t window_;
    bool useWindow_;
    int captionColumn_;
    bool screen_;
    std::string heldBack_;
};

// Starts an upload's console row: the remote name from column 1, then blanks
// up to the start of the next 14-column print zone.
void startUploadRow(const std::string& remoteName);
void endConsoleRow();

}  // namespace talven
