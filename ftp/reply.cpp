#include <cstdio>

#include "client.h"
#include "number_text.h"
#include "stream.h"

namespace talven {
namespace {

// Each thread has its own last status, as it has its own error number.
thread_local std::int32_t gLastReplyCode = 0;
thread_local std::string gLastReplyText;

bool isContinuation(std::string_view line) { return line.size() > 3 && line[3] == '-'; }

bool endsReply(std::string_view line, std::string_view code) {
    return line.substr(0, 3) == code && !isContinuation(line);
}

// Reads the lines of one reply, within kReplySizeLimit bytes taken from the
// stream in all. A line that could not be read (the wait ran out, the stream
// failed or the server closed it) ends the reply as an empty line; the error
// number then tells why.
class ReplyLines {
public:
    explicit ReplyLines(std::int32_t stream) : stream_(stream) {}

    // A line longer than the line capacity comes from the stream in pieces:
    // its first piece stands for it, and the rest up to its LF is read and
    // dropped, so that the server's next line is not taken for a reply.
    bool next(std::string& line) {
        if (!readPiece(line)) return false;
        std::string rest;
        while (StreamLastLine(stream_).cut) {
            if (!readPiece(rest)) {
                line.clear();
                return false;
            }
        }
        return true;
    }

private:
    bool readPiece(std::string& piece) {
        const std::int32_t saved = errorNumber;
        errorNumber = 0;
        piece = StreamReadLine(stream_);
        // Dropped CRs count too: they took as long to read as any byte.
        used_ += StreamLastLine(stream_).bytes;
        const bool failed = errorNumber != 0 || (piece.empty() && StreamEnded(stream_)) || used_ > kReplySizeLimit;
        if (errorNumber == 0) errorNumber = saved;
        if (failed) piece.clear();
        return !failed;
    }

    std::int32_t stream_;
    std::size_t used_ = 0;
};

}  // namespace

std::int32_t ftpReplyCode(std::string_view line) {
    return static_cast<std::int32_t>(readLeadingNumber(line.substr(0, 3)).floorSaturated());
}

void ftpRecordReply(const std::string& line) {
    std::string_view text = line.size() > 3 ? std::string_view(line).substr(3) : std::string_view();
    std::size_t first = text.find_first_not_of(' ');
    text = first == std::string_view::npos ? std::string_view() : text.substr(first, text.find_last_not_of(' ') - first + 1);
    gLastReplyText.assign(text);
    gLastReplyCode = ftpReplyCode(line);
}

std::int32_t ftpLastReplyCode() { return gLastReplyCode; }
const std::string& ftpLastReplyText() { return gLastReplyText; }

void ftpRecordBuiltStatus(std::int32_t number, std::string_view text) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%03d ", static_cast<int>(number));
    ftpRecordReply(digits + std::string(text));
}

std::string ftpReadReply(std::int32_t session) {
    ReplyLines lines(session);
    std::string line;
    if (!lines.next(line) || !isContinuation(line)) return line;
    const std::string code = line.substr(0, 3);
    while (lines.next(line))
        if (endsReply(line, code)) return line;
    return std::string();
}

bool ftpReadGreeting(std::int32_t session) {
    ReplyLines lines(session);
    std::string line;
    for (;;) {
        lines.next(line);
        if (ftpReplyCode(line) != 220) {
            ftpRecordReply(line);
            return false;
        }
        if (!isContinuation(line)) return true;
    }
}

}  // namespace talven
