#include <algorithm>

#include "client.h"
#include "hooks.h"
#include "local_file.h"
#include "progress.h"
#include "stream.h"

namespace talven {
namespace {

constexpr std::string_view kReadError = "Local File Read Error";

// Why a transfer broke off after the server had accepted STOR.
struct Failure {
    std::int32_t number = 0;
    std::string_view text;
    explicit operator bool() const { return !text.empty(); }
    // The file could not be read whole as it was when the transfer began,
    // while the data connection itself may still be sound.
    bool inTheFile() const { return text == kReadError; }
    // The server took no data for a whole wait.
    bool stalled() const { return !inTheFile() && number == kWaitRanOut; }
    bool cancelled() const { return text == kTransferCancelled.text; }
};

constexpr Failure kCancelled{kTransferCancelled.number, kTransferCancelled.text};

// Up to this many chunks go to the socket in one StreamSendFile; their
// captions are shown together once they are sent.
constexpr std::uint64_t kBytesPerSend = 64 * kChunkSize;
// Fewer with a progress callback, which may cancel after any of them: on a
// slow link a cancel then takes effect soon.
constexpr std::uint64_t kBytesPerReport = 8 * kChunkSize;

// Notes the caption of every chunk that ends within (from, to]: each whole
// chunk of kChunkSize bytes, and the last, shorter one at the file's end.
void noteChunksSent(TransferProgress& progress, std::int64_t from, std::int64_t to, std::int64_t size) {
    constexpr auto chunk = static_cast<std::int64_t>(kChunkSize);
    for (std::int64_t end = (from / chunk + 1) * chunk; end <= to && end < size; end += chunk) progress.note(end, size);
    if (to == size && from < size) progress.note(size, size);
}

// Sends the open file with a caption after each chunk. The size was taken
// when the server accepted STOR; a file that another program changes
// meanwhile (where the platform cannot keep writers out) fails the transfer
// rather than leave a torn copy reported as complete.
Failure sendFile(std::int32_t file, std::int32_t data, TransferProgress& progress, ProgressReport& report) {
    constexpr std::int32_t kFileChanged = 70;
    errorNumber = 0;
    const os::FileIdentity before = LocalFileIdentity(file);
    if (errorNumber != 0) return Failure{errorNumber, kReadError};
    report.setTotal(before.size);
    std::int64_t sent = 0;
    while (sent < before.size) {
        const auto batch = std::min<std::uint64_t>(report.active() ? kBytesPerReport : kBytesPerSend,
                                                   static_cast<std::uint64_t>(before.size - sent));
        errorNumber = 0;
        const FileSendResult result = StreamSendFile(data, file, batch);
        const std::int64_t now = sent + static_cast<std::int64_t>(result.sent);
        noteChunksSent(progress, sent, now, before.size);
        progress.showAll();
        sent = now;
        if (sent < before.size && result.end == FileSendEnd::complete && !report.update(sent)) return kCancelled;
        switch (result.end) {
            case FileSendEnd::complete: break;
            case FileSendEnd::fileEnded: return Failure{kFileChanged, kReadError};
            case FileSendEnd::fileFailed: return Failure{errorNumber, kReadError};
            case FileSendEnd::streamFailed: return Failure{errorNumber, "Data Connection Error"};
        }
    }
    errorNumber = 0;
    if (!(LocalFileIdentity(file) == before)) return Failure{errorNumber != 0 ? errorNumber : kFileChanged, kReadError};
    return report.finish(sent) ? Failure{} : kCancelled;
}

}  // namespace

std::int32_t ftpPutFile(std::int32_t session, std::int32_t window, const std::string& remoteName,
                        const std::string& localPath) {
    if (ftpSessionLost(session)) return 0;
    if (!safeCommandArgument(remoteName)) {
        ftpRecordBuiltStatus(kInvalidArgumentNumber, kInvalidArgumentText);
        return 0;
    }
    if (os::pathKind(localPath) != os::PathKind::plainFile) {
        ftpRecordBuiltStatus(1, "Local File Not Found");
        return 0;
    }
    // A caller's window or callback gets the progress; the console then
    // stays untouched.
    ProgressReport report(session);
    const bool toWindow = window > 0;
    const bool toConsole = !toWindow && !report.active();
    if (toConsole) startUploadRow(remoteName);
    const std::int32_t file = StreamFreeNumber();
    errorNumber = 0;
    LocalFileOpenForReading(file, localPath);
    if (errorNumber != 0) {
        ftpRecordBuiltStatus(errorNumber, "Local File Access Error");
        return 0;
    }
    ftpSetBinary(session);
    const std::int32_t data = ftpSessionLost(session) ? -1 : ftpOpenDataChannel(session);
    if (data == -1) {
        StreamClose(file);  // the last status already holds the reason
        return 0;
    }
    if (ftpStartTransfer(session, data, "STOR " + remoteName).empty()) {
        StreamClose(file);
        return 0;
    }
    TransferProgress progress(window, toWindow, 14, " / ");
    if (report.active()) progress.silence();
    const Failure failure = sendFile(file, data, progress, report);
    progress.finish();
    if (failure.stalled()) {
        StreamClose(file);
        ftpLoseSessionToStalledData(session, data);
        return 0;
    }
    // Closing the data connection is what tells the server the file ends; on
    // TLS only close_notify does, and a broken-off file must not get one.
    // When the file went wrong, the connection is reset instead, so that the
    // server sees a broken transfer rather than a torn file that looks whole.
    if (!failure) StreamCloseNotify(data);
    if (failure.inTheFile() || failure.cancelled()) StreamAbort(data);
    else StreamClose(data);
    if (failure) {
        StreamClose(file);
        // The server's reply to the broken-off transfer belongs to it, not
        // to the session's next command.
        ftpReadReply(session);
        ftpRecordBuiltStatus(failure.number, failure.text);
        return 0;
    }
    const std::string completion = ftpReadReply(session);
    const bool stored = ftpTransferComplete(completion);
    if (stored && toConsole) endConsoleRow();
    StreamClose(file);
    ftpRecordReply(completion);
    return stored ? 1 : 0;
}

}  // namespace talven
