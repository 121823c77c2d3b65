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

constexpr std::int32_t kFileChanged = 70;

// Sends the open file from byte from on, with a caption after each chunk.
// The file is as it was when the upload began (before); a file that another
// program changes meanwhile (where the platform cannot keep writers out)
// fails the transfer rather than leave a torn copy reported as complete.
Failure sendFile(std::int32_t file, const os::FileIdentity& before, std::int64_t from, std::int32_t data,
                 TransferProgress& progress, ProgressReport& report) {
    errorNumber = 0;
    if (from > 0 && !LocalFileSeek(file, from)) return Failure{errorNumber, kReadError};
    report.setTotal(before.size);
    std::int64_t sent = from;
    while (sent < before.size) {
        // A caption held back goes on the screen before the transfer waits
        // longer than its draw is due: one that stalls shows its latest.
        if (progress.heldOnScreen() && !StreamAwaitRoom(data, progress.untilDue())) progress.finish();
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

bool refusal(std::int32_t code) { return code >= 400 && code <= 599; }

// Where the calling thread's last upload failed (an UploadStep).
os::ThreadWord gLastUploadStep;

std::int32_t failAt(UploadStep step) {
    gLastUploadStep.set(static_cast<std::intptr_t>(step));
    return 0;
}

// Where a new transfer takes up the file: the whole file under STOR, or the
// rest after the part the server holds (REST and STOR, or APPE where the
// server refuses REST).
struct StartPoint {
    std::int64_t offset = 0;
    std::string_view command = "STOR ";
};

// The size of the remote file in the session's current type, or -1 with the
// reply recorded.
std::int64_t remoteSize(std::int32_t session, const std::string& remoteName) {
    const std::string reply = ftpExchange(session, "SIZE " + remoteName);
    if (ftpReplyCode(reply) != 213) return -1;
    std::string_view digits = std::string_view(reply).substr(std::min<std::size_t>(4, reply.size()));
    while (!digits.empty() && digits.back() == ' ') digits.remove_suffix(1);
    while (!digits.empty() && digits.front() == ' ') digits.remove_prefix(1);
    constexpr std::int64_t kExactInADouble = std::int64_t{1} << 53;
    if (digits.empty() || digits.size() > 16) return -1;
    std::int64_t size = 0;
    for (char digit : digits) {
        if (digit < '0' || digit > '9') return -1;
        size = size * 10 + (digit - '0');
    }
    return size <= kExactInADouble ? size : -1;
}

// Where a resumed upload takes up the file, from the size the server holds
// (-1: none or unknown). Sent after PASV: REST must come right before the
// command it changes. An empty remote file is continued with APPE, not
// stored anew with STOR: where a session of an earlier, lost attempt still
// waits for the file (vsftpd locks a file while it is uploaded), a STOR of
// that session would empty the file once it got the lock, after this one
// had stored it whole. Neither APPE nor REST and STOR ever empties a file.
StartPoint resumePoint(std::int32_t session, std::int64_t held, std::int64_t localSize) {
    if (held == 0) return StartPoint{0, "APPE "};
    if (held < 0 || held > localSize) return StartPoint{};
    const std::int32_t code = ftpReplyCode(ftpExchange(session, "REST " + std::to_string(held)));
    if (code == 350) return StartPoint{held, "STOR "};
    return StartPoint{held, "APPE "};
}

std::int32_t putFile(std::int32_t session, std::int32_t window, const std::string& remoteName,
                     const std::string& localPath, bool resume) {
    gLastUploadStep.set(static_cast<std::intptr_t>(UploadStep::none));
    if (ftpSessionLost(session)) return failAt(UploadStep::preparing);
    if (!safeCommandArgument(remoteName)) {
        ftpRecordBuiltStatus(kInvalidArgumentNumber, kInvalidArgumentText);
        return failAt(UploadStep::preparing);
    }
    if (os::pathKind(localPath) != os::PathKind::plainFile) {
        ftpRecordBuiltStatus(1, "Local File Not Found");
        return failAt(UploadStep::localFile);
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
        return failAt(UploadStep::localFile);
    }
    const os::FileIdentity before = LocalFileIdentity(file);
    if (errorNumber != 0) {
        StreamClose(file);
        ftpRecordBuiltStatus(errorNumber, kReadError);
        return failAt(UploadStep::localFile);
    }
    // Refused, the type would stay ASCII, in which a server may rewrite
    // line ends: a file stored so would not be the file sent.
    ftpSetBinary(session);
    if (ftpSessionLost(session) || refusal(ftpLastReplyCode())) {
        StreamClose(file);
        return failAt(UploadStep::preparing);
    }
    const std::int64_t held = resume ? remoteSize(session, remoteName) : -1;
    const std::int32_t data = ftpSessionLost(session) ? -1 : ftpOpenDataChannel(session);
    if (data == -1) {
        StreamClose(file);  // the last status already holds the reason
        return failAt(UploadStep::preparing);
    }
    const StartPoint start = resume ? resumePoint(session, held, before.size) : StartPoint{};
    if (ftpSessionLost(session)) {
        StreamClose(data);
        StreamClose(file);
        return failAt(UploadStep::preparing);
    }
    if (ftpStartTransfer(session, data, std::string(start.command) + remoteName).empty()) {
        StreamClose(file);
        return failAt(UploadStep::storeCommand);
    }
    TransferProgress progress(window, toWindow, 14, " / ");
    if (report.active()) progress.silence();
    const Failure failure = sendFile(file, before, start.offset, data, progress, report);
    progress.finish();
    if (failure.stalled()) {
        StreamClose(file);
        ftpLoseSessionToStalledData(session, data);
        return failAt(UploadStep::data);
    }
    // Closing the data connection is what tells the server the file ends; on
    // TLS only close_notify does, and a broken-off file must not get one.
    // When the file went wrong, the connection is reset instead, so that the
    // server sees a broken transfer rather than a torn file that looks whole.
    // The close_notify, the server's end of the data and its reply share
    // one wait: a server that stalls at any of them costs no more.
    const StreamDeadline deadline = StreamDeadlineFromNow(session);
    if (!failure) StreamCloseNotifyBefore(data, deadline);
    if (failure.inTheFile() || failure.cancelled()) StreamAbort(data);
    else StreamClose(data);
    if (failure) {
        StreamClose(file);
        // The server's reply to the broken-off transfer belongs to it, not
        // to the session's next command.
        ftpReadBrokenTransferReplyBefore(session, deadline);
        ftpRecordBuiltStatus(failure.number, failure.text);
        return failAt(failure.inTheFile() ? UploadStep::localFile : UploadStep::data);
    }
    const std::string completion = ftpReadReplyBefore(session, deadline);
    const bool stored = ftpTransferComplete(completion);
    if (stored && toConsole) endConsoleRow();
    StreamClose(file);
    ftpRecordReply(completion);
    return stored ? 1 : failAt(UploadStep::completion);
}

}  // namespace

std::int32_t ftpPutFile(std::int32_t session, std::int32_t window, const std::string& remoteName,
                        const std::string& localPath) {
    return putFile(session, window, remoteName, localPath, false);
}

std::int32_t ftpResumePutFile(std::int32_t session, std::int32_t window, const std::string& remoteName,
                              const std::string& localPath) {
    return putFile(session, window, remoteName, localPath, true);
}

UploadStep ftpLastUploadStep() { return static_cast<UploadStep>(gLastUploadStep.get()); }

double ftpFileSize(std::int32_t session, const std::string& remoteName) {
    if (ftpSessionLost(session)) return -1;
    if (!safeCommandArgument(remoteName)) {
        ftpRecordBuiltStatus(kInvalidArgumentNumber, kInvalidArgumentText);
        return -1;
    }
    ftpSetBinary(session);
    return static_cast<double>(remoteSize(session, remoteName));
}

}  // namespace talven
