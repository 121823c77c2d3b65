#include <cstdio>

#include "client.h"
#include "hooks.h"
#include "number_text.h"
#include "os.h"
#include "stream.h"

namespace talven {
namespace {

// Each thread has its own last status, as it has its own error number, in
// thread words. The text lives on the heap behind a plain pointer there,
// which the platform frees as the thread ends (see os::releaseAtThreadExit).
os::ThreadWord gLastReplyCode;
os::ThreadWord gLastReplyText;

std::string& lastReplyText() {
    auto* text = reinterpret_cast<std::string*>(gLastReplyText.get());
    if (text == nullptr) {
        text = new std::string();
        gLastReplyText.set(reinterpret_cast<std::intptr_t>(text));
        os::releaseAtThreadExit(text, [](void* held) { delete static_cast<std::string*>(held); });
    }
    return *text;
}

bool isContinuation(std::string_view line) { return line.size() > 3 && line[3] == '-'; }

// The code followed by a blank (or by nothing): "2201 ..." inside a 220
// reply is text (RFC 959), and ending there would leave the session a reply
// behind.
bool endsReply(std::string_view line, std::string_view code) {
    return line.substr(0, 3) == code && (line.size() == 3 || line[3] == ' ');
}

// Reads the lines of one reply (or of a greeting with the 120 replies
// before it): within kReplySizeLimit bytes taken from the stream and one
// wait W in all, however slowly the bytes come. A line counts only once its
// LF has come; when one cannot be read whole, neither can the reply, and
// what the server sends later would pass for the reply to the next command.
class ReplyLines {
public:
    ReplyLines(std::int32_t stream, StreamDeadline deadline) : stream_(stream), deadline_(deadline) {}

    // A line longer than the line capacity comes from the stream in pieces:
    // its first piece stands for it, and the rest up to its LF is read and
    // dropped. False when the line cannot be read whole.
    bool next(std::string& line) {
        if (!readPiece(line)) return false;
        std::string rest;
        while (taken_.cut)
            if (!readPiece(rest)) return false;
        ftpTrace(stream_, FTP_TRACE_RECEIVED, line);
        return true;
    }

    // Why the last line could not be read: the status line that says so. The
    // session is then lost and its control connection closed.
    std::string lose() const {
        const std::string status = builtStatusLine(failure_->number, failure_->text);
        if (failure_ != &kNotConnected) ftpLoseSession(stream_, status);
        return status;
    }

private:
    bool readPiece(std::string& piece) {
        const std::int32_t saved = errorNumber;
        errorNumber = 0;
        piece = StreamReadLineBefore(stream_, deadline_);
        taken_ = StreamLastLine(stream_);
        // Dropped CRs count too: they took as long to read as any byte.
        used_ += taken_.bytes;
        failure_ = failure();
        if (errorNumber == 0) errorNumber = saved;
        return failure_ == nullptr;
    }

    const BuiltStatus* failure() const {
        if (used_ > kReplySizeLimit) return &kReplyTooLong;
        if (taken_.ended || taken_.cut) return nullptr;
        if (errorNumber == 52 || errorNumber == 54) return &kNotConnected;
        // Without an error the wait ran out after some bytes, or the peer closed.
        const bool timedOut = errorNumber == kWaitRanOut || (errorNumber == 0 && !StreamEnded(stream_));
        return timedOut ? &kControlConnectionTimedOut : &kControlConnectionLost;
    }

    std::int32_t stream_;
    StreamDeadline deadline_;
    std::size_t used_ = 0;
    LineTaken taken_;
    const BuiltStatus* failure_ = nullptr;
};

// The line that ends the reply: the first line, or, when that opens a
// multi-line reply ("NNN-"), the first later line that begins with the same
// code followed by a blank or nothing. Lines in between may hold anything.
std::string readReply(ReplyLines& lines) {
    std::string line;
    if (!lines.next(line)) return lines.lose();
    if (!isContinuation(line)) return line;
    const std::string code = line.substr(0, 3);
    while (lines.next(line))
        if (endsReply(line, code)) return line;
    return lines.lose();
}

}  // namespace

std::int32_t ftpReplyCode(std::string_view line) {
    return static_cast<std::int32_t>(readLeadingNumber(line.substr(0, 3)).floorSaturated());
}

void ftpRecordReply(const std::string& line) {
    std::string_view text = line.size() > 3 ? std::string_view(line).substr(3) : std::string_view();
    std::size_t first = text.find_first_not_of(' ');
    text = first == std::string_view::npos ? std::string_view() : text.substr(first, text.find_last_not_of(' ') - first + 1);
    lastReplyText().assign(text);
    gLastReplyCode.set(ftpReplyCode(line));
}

std::int32_t ftpLastReplyCode() { return static_cast<std::int32_t>(gLastReplyCode.get()); }
const std::string& ftpLastReplyText() { return lastReplyText(); }

std::string builtStatusLine(std::int32_t number, std::string_view text) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%03d ", static_cast<int>(number));
    return digits + std::string(text);
}

void ftpRecordBuiltStatus(std::int32_t number, std::string_view text) {
    ftpRecordReply(builtStatusLine(number, text));
}

std::string ftpReadReply(std::int32_t session) { return ftpReadReplyBefore(session, StreamDeadlineFromNow(session)); }

// A preliminary reply (1xx) says that the final one is still to come.
std::string ftpReadReplyBefore(std::int32_t session, StreamDeadline deadline) {
    ReplyLines lines(session, deadline);
    for (;;) {
        std::string reply = readReply(lines);
        if (!ftpPreliminary(reply)) return reply;
    }
}

// A restart marker (110) or a delay (120) may come before the go-ahead.
std::string ftpReadGoAheadBefore(std::int32_t session, StreamDeadline deadline) {
    ReplyLines lines(session, deadline);
    for (;;) {
        std::string reply = readReply(lines);
        if (!ftpPreliminary(reply) || ftpTransferMayStart(reply)) return reply;
    }
}

std::string ftpReadBrokenTransferReplyBefore(std::int32_t session, StreamDeadline deadline) {
    ReplyLines lines(session, deadline);
    return readReply(lines);
}

// "120 Service ready in N minutes" may come before the 220; the wait and
// the bound cover them all.
bool ftpReadGreeting(std::int32_t session) {
    ReplyLines lines(session, StreamDeadlineFromNow(session));
    for (;;) {
        const std::string reply = readReply(lines);
        const std::int32_t code = ftpReplyCode(reply);
        if (code == 220) return true;
        if (code != 120) {
            ftpRecordReply(reply);
            return false;
        }
    }
}

bool ftpPreliminary(std::string_view reply) {
    const std::int32_t code = ftpReplyCode(reply);
    return code >= 100 && code <= 199;
}

bool ftpTransferComplete(std::string_view reply) {
    const std::int32_t code = ftpReplyCode(reply);
    return code == 226 || code == 250;
}

}  // namespace talven
