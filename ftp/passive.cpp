#include <algorithm>

#include "client.h"
#include "hooks.h"
#include "number_text.h"
#include "stream.h"

namespace talven {
namespace {

// The n-th piece (from 0) of text split at every separator; empty when there
// are fewer pieces.
std::string_view piece(std::string_view text, std::string_view separators, std::size_t n) {
    for (; n > 0; --n) {
        std::size_t cut = text.find_first_of(separators);
        if (cut == std::string_view::npos) return std::string_view();
        text.remove_prefix(cut + 1);
    }
    return text.substr(0, text.find_first_of(separators));
}

// A data connection of the session to the control connection's address at
// port, with the session's wait; -1 with a built status holding the stream's error number when it cannot be made.
std::int32_t openDataConnection(std::int32_t session, const std::string& address, std::uint16_t port) {
    // A control connection that has gone has no address; an empty name would
    // stand for this very host on some platforms.
    errorNumber = address.empty() ? 57 : 0;
    const std::int32_t data = StreamFreeNumber();
    if (errorNumber == 0) StreamOpenWithin(data, address, port, sessionWait(session));
    if (errorNumber == 0) return data;
    ftpRecordBuiltStatus(errorNumber, kDataConnectionFailedText);
    return -1;
}

// An IPv6 address is written with colons, an IPv4 one never.
bool isIPv6(std::string_view address) { return address.find(':') != std::string_view::npos; }

// A server that does not know EPSV, or will not take it, says so with 500,
// 501 or 502.
bool epsvUnknown(std::string_view reply) {
    const std::int32_t code = ftpReplyCode(reply);
    return code == 500 || code == 501 || code == 502;
}

constexpr std::string_view kDigits = "0123456789";

// The first six decimal numbers joined by commas in text, or empty. Linear
// in the text: a run that falls short of six numbers cannot hold six from a
// later start either, so the search goes on after it.
std::string_view sixNumbers(std::string_view text) {
    std::size_t start = 0;
    while ((start = text.find_first_of(kDigits, start)) != std::string_view::npos) {
        std::size_t end = start;
        int numbers = 0;
        for (;;) {
            const std::size_t digitsEnd = std::min(text.find_first_not_of(kDigits, end), text.size());
            if (digitsEnd == end) break;
            end = digitsEnd;
            if (++numbers == 6 || end == text.size() || text[end] != ',') break;
            ++end;
        }
        if (numbers == 6) return text.substr(start, end - start);
        start = end;
    }
    return std::string_view();
}

}  // namespace

std::string parenthesisedText(std::string_view line) { return std::string(piece(line, "()", 1)); }

// The data connection goes to the address the control connection is
// connected to, never to one the server names and never to the session's
// host name looked up again, which may by now name another host.
std::int32_t ftpOpenDataChannel(std::int32_t session) {
    const std::string address = StreamPeerAddress(session);
    if (isIPv6(address) && !ftpEpsvRefused(session)) {
        const std::string reply = ftpExchange(session, "EPSV");
        if (ftpReplyCode(reply) == 229) return openDataConnection(session, address, ftpEpsvPort(reply));
        if (!epsvUnknown(reply)) return -1;
        ftpNoteEpsvRefused(session);
    }
    // Only the port of a 227 reply is used, so PASV serves IPv6 sessions too.
    const std::string reply = ftpExchange(session, "PASV");
    if (ftpReplyCode(reply) != 227) return -1;
    return openDataConnection(session, address, ftpPasvPort(ftpPasvAddressText(reply)));
}

std::int32_t ftpOpenDataChannelOfType(std::int32_t session, void (*setType)(std::int32_t)) {
    const std::int32_t data = ftpOpenDataChannel(session);
    if (data == -1) return -1;  // the last status already holds the reason
    setType(session);
    if (!ftpSessionLost(session)) return data;
    StreamClose(data);
    return -1;
}

std::string ftpPasvAddressText(std::string_view reply) {
    if (reply.find_first_of("()") != std::string_view::npos) return parenthesisedText(reply);
    return std::string(sixNumbers(reply.substr(std::min<std::size_t>(3, reply.size()))));
}

// The four address numbers are not used (see ftpOpenDataChannel).
std::uint16_t ftpPasvPort(std::string_view addressText) {
    const std::uint8_t high = readLeadingNumber(piece(addressText, ",", 4)).floorLowByte();
    const std::uint8_t low = readLeadingNumber(piece(addressText, ",", 5)).floorLowByte();
    return static_cast<std::uint16_t>(high * 256 + low);
}

std::uint16_t ftpEpsvPort(std::string_view reply) {
    const std::size_t open = reply.find('(');
    if (open == std::string_view::npos) return 0;
    const std::string_view group = reply.substr(open + 1);
    if (group.size() < 6) return 0;
    const char delimiter = group[0];
    if (delimiter < 33 || delimiter > 126 || kDigits.find(delimiter) != std::string_view::npos ||
        group[1] != delimiter || group[2] != delimiter)
        return 0;
    std::size_t at = 3;
    std::uint32_t port = 0;
    // Digits past the largest port only keep it too large: a run of any
    // length ends the same way.
    for (; at < group.size() && kDigits.find(group[at]) != std::string_view::npos; ++at)
        port = std::min<std::uint32_t>(port * 10 + static_cast<std::uint32_t>(group[at] - '0'), 65536);
    if (at == 3 || at + 1 >= group.size() || group[at] != delimiter || group[at + 1] != ')' || port > 65535) return 0;
    return static_cast<std::uint16_t>(port);
}

std::int32_t ftpReceiveChunk(std::int32_t data, std::string& chunk) {
    chunk.resize(kChunkSize);
    chunk.resize(StreamReceive(data, chunk.data(), static_cast<std::int32_t>(kChunkSize)));
    return static_cast<std::int32_t>(chunk.size());
}

bool ftpTransferMayStart(std::string_view reply) {
    const std::int32_t code = ftpReplyCode(reply);
    return code == 150 || code == 125;
}

void ftpLoseSessionToStalledData(std::int32_t session, std::int32_t data) {
    StreamAbort(data);
    const std::string status = builtStatusLine(kWaitRanOut, "Data Connection Timed Out");
    ftpLoseSession(session, status);
    ftpRecordReply(status);
}

namespace {

// Ends a transfer that cannot start: the data connection closed, the
// reason recorded.
std::string refuseTransfer(std::int32_t data, const std::string& reason) {
    StreamClose(data);
    ftpRecordReply(reason);
    return {};
}

// The data connection's handshake ran until the deadline: a server that
// gave its go-ahead is stalled on the data connection; one that gave none
// did not answer the command within the wait.
std::string transferTimedOut(std::int32_t session, std::int32_t data, bool goneAhead) {
    if (goneAhead) {
        ftpLoseSessionToStalledData(session, data);
        return {};
    }
    const std::string status = builtStatusLine(kControlConnectionTimedOut.number, kControlConnectionTimedOut.text);
    StreamAbort(data);
    ftpLoseSession(session, status);
    ftpRecordReply(status);
    return {};
}

void traceDataTls(std::int32_t session, std::int32_t data) {
    if (!ftpTracing(session)) return;
    ftpTrace(session, FTP_TRACE_NOTE,
             "Data connection TLS established, " + StreamTLSProtocol(data) + (StreamTLSResumed(data) ? ", resumed" : ""));
}

// The data connection's handshake failed with error. Before the go-ahead
// the server may have refused the command and closed the data connection
// for it (proftpd): its refusal is then the reason. Otherwise the TLS
// failure is, and the server's reply to the failed data connection is read.
std::string failedHandshake(std::int32_t session, std::int32_t data, std::int32_t error, bool goneAhead,
                            StreamDeadline deadline) {
    StreamClose(data);
    if (!goneAhead) {
        const std::string reply = ftpReadGoAheadBefore(session, deadline);
        if (!ftpTransferMayStart(reply) && !ftpSessionLost(session)) {
            ftpRecordReply(reply);
            return {};
        }
    }
    if (!ftpSessionLost(session)) ftpReadReplyBefore(session, deadline);
    ftpRecordTlsFailure(error);
    return {};
}

// The go-ahead and the data connection's handshake in either order, both
// before deadline; a reply that is no go-ahead ends the transfer as it comes.
std::string startSecuredTransfer(std::int32_t session, std::int32_t data, StreamDeadline deadline) {
    errorNumber = 0;
    StreamBeginTLSLike(data, session);
    TlsProgress progress = errorNumber != 0 ? TlsProgress::failed : StreamContinueTLS(data, session, deadline);
    std::string goAhead;
    bool handshaken = false;
    for (;;) {
        switch (progress) {
            case TlsProgress::done:
                handshaken = true;
                traceDataTls(session, data);
                break;
            case TlsProgress::watchedReadable: {
                const std::string reply = ftpReadGoAheadBefore(session, deadline);
                if (!ftpTransferMayStart(reply)) return refuseTransfer(data, reply);
                goAhead = reply;
                break;
            }
            case TlsProgress::failed: return failedHandshake(session, data, errorNumber, !goAhead.empty(), deadline);
            case TlsProgress::timedOut: return transferTimedOut(session, data, !goAhead.empty());
        }
        if (handshaken && !goAhead.empty()) return goAhead;
        // Once handshaken, only the go-ahead is still to come. Once gone
        // ahead, the control connection is watched no more: its next reply
        // may be the completion, which can come before the handshake ends
        // here (a server whose side of the handshake ends first sends its
        // data and confirms at once), and belongs to data still to be read.
        progress = handshaken ? TlsProgress::watchedReadable
                              : StreamContinueTLS(data, goAhead.empty() ? session : kWatchingNone, deadline);
    }
}

}  // namespace

std::string ftpStartTransfer(std::int32_t session, std::int32_t data, const std::string& command) {
    ftpSendCommand(session, command);
    const StreamDeadline deadline = StreamDeadlineFromNow(session);
    if (StreamSecured(session)) return startSecuredTransfer(session, data, deadline);
    const std::string goAhead = ftpReadGoAheadBefore(session, deadline);
    if (!ftpTransferMayStart(goAhead)) return refuseTransfer(data, goAhead);
    return goAhead;
}

std::string ftpFinishReceiving(std::int32_t session, std::int32_t data, std::int32_t dataError, bool kept) {
    if (dataError == kWaitRanOut) {
        ftpLoseSessionToStalledData(session, data);
        return {};
    }
    // The close and the completion reply share one wait: a server that
    // stalls at either costs no more.
    const StreamDeadline deadline = StreamDeadlineFromNow(session);
    // On TLS a bare close may have cut the data short; only a transfer read
    // to its whole end answers the server's close_notify with its own.
    const bool cutShort = StreamCutShort(data);
    if (kept && dataError == 0 && !cutShort && StreamEnded(data)) StreamCloseNotifyBefore(data, deadline);
    // Closing also ends a transfer broken off here. And some servers
    // (proftpd) confirm even a finished one only once the client has closed
    // its side too.
    StreamClose(data);
    const bool brokenOff = dataError != 0 || !kept;
    const std::string completion = brokenOff ? ftpReadBrokenTransferReplyBefore(session, deadline)
                                             : ftpReadReplyBefore(session, deadline);
    // A server may confirm data that never reached us whole, or answer its
    // failure with no final reply at all: the data's failure is the reason.
    if (dataError != 0 && (ftpTransferComplete(completion) || ftpPreliminary(completion))) {
        ftpRecordBuiltStatus(dataError, "Data Connection Error");
        return {};
    }
    if (!ftpTransferComplete(completion)) {
        ftpRecordReply(completion);
        return {};
    }
    if (cutShort) {
        ftpRecordBuiltStatus(kDataCutShortNumber, kDataCutShortText);
        return {};
    }
    return completion;
}

std::int32_t ftpSendChunk(std::int32_t data, std::string_view bytes) {
    errorNumber = 0;
    StreamSend(data, bytes);
    return errorNumber == 0 ? 1 : 0;
}

}  // namespace talven
