// The running progress of a transfer: in a caller's window, or on the
// console row of the transfer.
//
// Every caption reads "done<separator>total". A transfer notes one caption
// per chunk moved and shows the noted ones after it has moved a run of
// chunks, before it next waits: in a window each caption is set in turn; on
// a screen they go out in order, each overwriting the last from the caption
// column, in as few console writes as the platform allows. Where the console
// is a file or a pipe there is no cursor to place, so only the last caption
// shown is written, when the transfer ends: the output stays small and
// readable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talven {

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
    // Writes a caption still held back; called before anything else goes on
    // the row.
    void finish();
    // Shows nothing from now on: the caller's callback gets the progress.
    void silence() { silent_ = true; }

private:
    void appendCaption(std::string& out, std::int64_t done) const;

    std::int32_t window_;
    bool useWindow_;
    int captionColumn_;
    bool screen_;
    std::string separator_;
    std::int64_t total_ = 0;
    std::vector<std::int64_t> noted_;
    std::string texts_;                // captions written together
    std::vector<std::size_t> ends_;
    std::int64_t heldBack_ = -1;       // the last caption's count, not yet written
    bool silent_ = false;
};

// Starts an upload's console row: the remote name from column 1, then blanks
// up to the start of the next 14-column print zone.
void startUploadRow(const std::string& remoteName);
void endConsoleRow();

}  // namespace talven
