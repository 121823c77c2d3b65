#include <algorithm>
#include <memory>
#include <vector>

#include "client.h"
#include "hooks.h"
#include "local_file.h"
#include "number_text.h"
#include "progress.h"
#include "stream.h"

namespace talven {
namespace {

// The data goes to a new file in the target's folder, which replaces the
// target only once the server has sent what it had: a refused or failed
// download leaves the user's file as it was. Its name is short, so that a
// target whose name is as long as the file system allows still has one.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target) : number_(StreamFreeNumber()) {
        // A path that names no file (an empty one, say) fails as any open
        // would; the short name in its folder would still name one.
        constexpr std::int32_t kBadFileName = 64;
        if (!os::usablePath(target)) {
            error_ = kBadFileName;
            return;
        }
        const std::string folder = os::folderOf(target);
        constexpr int kAttempts = 100;
        for (int attempt = 1; attempt <= kAttempts; ++attempt) {
            std::string candidate = folder + ".talven-" + std::to_string(attempt) + ".part";
            // A name taken in any form (a link that names nothing too) is
            // passed over: the create never goes through a link.
            if (os::nameTaken(candidate)) continue;
            errorNumber = 0;
            LocalFileCreate(number_, candidate);
            error_ = errorNumber;
            if (error_ == 0) path_ = candidate;
            // Another download may have taken the name in the meantime.
            if (error_ == 0 || !os::nameTaken(candidate)) return;
        }
        error_ = 75;
    }
    ~TemporaryFile() { discard(); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    std::int32_t openError() const { return error_; }
    std::int32_t number() const { return number_; }

    void discard() {
        if (path_.empty()) return;
        StreamClose(number_);
        os::deleteFile(path_);
        path_.clear();
    }

    // The error number, or 0.
    std::int32_t flush() { return LocalFileFlush(number_); }

    // Closes the file and moves it onto target; the error number, or 0.
    std::int32_t replace(const std::string& target) {
        StreamClose(number_);
        std::int32_t error = os::replaceFile(path_, target);
        if (error == 0) path_.clear();
        return error;
    }

private:
    std::int32_t number_;
    std::int32_t error_ = 0;
    std::string path_;
};

// The target must be one the download may replace: not a directory, and not
// a file that could not be deleted now.
bool targetReplaceable(const std::string& localPath) {
    const os::PathKind kind = os::pathKind(localPath);
    if (kind == os::PathKind::directory) {
        ftpRecordBuiltStatus(70, "Local File Open Error");
        return false;
    }
    if (kind == os::PathKind::missing) return true;
    if (std::int32_t error = os::checkReplaceable(localPath)) {
        ftpRecordBuiltStatus(error, "Local File Can't be deleted");
        return false;
    }
    return true;
}

// Chunks received from one socket receive are written to the file together,
// up to this many, before the next wait for the socket.
constexpr std::size_t kChunksPerWrite = 8;

// How the data of a download ended: writeError, when not 0, is the error
// number of a failed write; dataError, when not 0, that of a data
// connection that ended otherwise than by the server's close (24: the wait
// ran out, 57: a reset or other failure).
struct Received {
    std::int32_t writeError = 0;
    std::int32_t dataError = 0;
    bool cancelled = false;
};

// Writes the chunks as they arrive, each with its caption: the chunks
// already received are written and their captions shown before the next
// receive that would wait for the socket.
Received receiveInto(std::int32_t data, std::int32_t file, std::int64_t announced, TransferProgress& progress,
                     ProgressReport& report) {
    const std::size_t capacity = kChunksPerWrite * kChunkSize;
    const auto staged = std::make_unique_for_overwrite<char[]>(capacity);
    std::vector<std::size_t> chunkEnds;
    chunkEnds.reserve(kChunksPerWrite);
    std::size_t filled = 0;
    std::int64_t received = 0;
    // A failed write shows the captions of the chunks that reached the file.
    auto writeStaged = [&]() -> std::int32_t {
        errorNumber = 0;
        const std::size_t written = LocalFileWrite(file, staged.get(), filled);
        if (errorNumber != 0) {
            progress.show(static_cast<std::size_t>(
                std::upper_bound(chunkEnds.begin(), chunkEnds.end(), written) - chunkEnds.begin()));
            return errorNumber;
        }
        progress.showAll();
        filled = 0;
        chunkEnds.clear();
        // A caption held back goes on the screen before the transfer waits
        // longer than its draw is due: one that stops shows its latest.
        if (progress.heldOnScreen() && !StreamReceiveReady(data, kChunkSize) &&
            !StreamAwaitData(data, progress.untilDue()))
            progress.finish();
        return 0;
    };
    Received end;
    for (;;) {
        if (filled > 0 && (filled + kChunkSize > capacity || !StreamReceiveReady(data, kChunkSize)))
            if ((end.writeError = writeStaged()) != 0) return end;
        errorNumber = 0;
        const std::size_t got = StreamReceive(data, staged.get() + filled, static_cast<std::int32_t>(kChunkSize));
        if (got == 0) {
            constexpr std::int32_t kDataConnectionFailed = 57;
            if (!StreamEnded(data)) end.dataError = errorNumber != 0 ? errorNumber : kDataConnectionFailed;
            else end.cancelled = !report.finish(received);
            break;
        }
        filled += got;
        chunkEnds.push_back(filled);
        received += static_cast<std::int64_t>(got);
        progress.note(received, announced);
        // What a cancelled download received is thrown away with its file.
        if (!report.update(received)) {
            end.cancelled = true;
            return end;
        }
    }
    if (filled > 0) end.writeError = writeStaged();
    return end;
}

}  // namespace

std::int64_t ftpAnnouncedSize(std::string_view goAhead) {
    return std::max<std::int64_t>(0, readLeadingNumber(parenthesisedText(goAhead)).floorSaturated());
}

std::int32_t ftpGetFile(std::int32_t session, std::int32_t window, const std::string& remoteName,
                        const std::string& localPath) {
    if (ftpSessionLost(session)) return 0;
    if (!safeCommandArgument(remoteName)) {
        ftpRecordBuiltStatus(kInvalidArgumentNumber, kInvalidArgumentText);
        return 0;
    }
    // Through a symbolic link the file it names is replaced; the link stays.
    const std::string target = os::linkedFile(localPath);
    if (!targetReplaceable(target)) return 0;
    TemporaryFile file(target);
    if (file.openError() != 0) {
        ftpRecordBuiltStatus(file.openError(), "Local File Open Error");
        return 0;
    }
    const std::int32_t data = ftpOpenDataChannelOfType(session, ftpSetBinary);
    if (data == -1) return 0;  // the last status already holds the reason
    const std::string goAhead = ftpStartTransfer(session, data, "RETR " + remoteName);
    if (goAhead.empty()) return 0;
    TransferProgress progress(window, window != 0, 1, " of ");
    ProgressReport report(session);
    const std::int64_t announced = ftpAnnouncedSize(goAhead);
    if (report.active()) progress.silence();
    report.setTotal(announced > 0 ? announced : -1);
    const Received received = receiveInto(data, file.number(), announced, progress, report);
    progress.finish();
    if (received.cancelled) return ftpCancelTransfer(session, data);
    const std::string completion = ftpFinishReceiving(session, data, received.dataError, received.writeError == 0);
    // A file that could not take the data is the reason whatever the server
    // replied; only a stalled data connection, which lost the session, says more.
    if (received.writeError != 0 && received.dataError != kWaitRanOut) {
        ftpRecordBuiltStatus(received.writeError, "Local File Write Error");
        return 0;
    }
    if (completion.empty()) return 0;
    // Only data the disk holds takes the target's place: a write the system
    // held back fails here while the old file is still there, and a crash
    // after the move finds the new contents, not an empty file.
    if (std::int32_t error = file.flush()) {
        ftpRecordBuiltStatus(error, "Local File Write Error");
        return 0;
    }
    if (std::int32_t error = file.replace(target)) {
        ftpRecordBuiltStatus(error, "Local File Can't be deleted");
        return 0;
    }
    ftpRecordReply(completion);
    return 1;
}

}  // namespace talven
