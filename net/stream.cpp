#include "stream.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "local_file.h"
#include "tls.h"

namespace talven {
namespace {

struct StreamRecord final : detail::OpenRecord {
    StreamRecord(std::int32_t number, std::uint16_t port, os::WaitTime wait)
        : OpenRecord(number, detail::RecordKind::tcpStream), port(port), waitTime(wait) {}
    ~StreamRecord() override {
        if (tls != nullptr) os::tlsEnd(tls);
        if (socket != os::kNoSocket) os::closeSocket(socket);
        os::socketLibraryStop();
    }

    os::Socket socket = os::kNoSocket;
    std::uint32_t buffered = 0;  // received bytes waiting at buffer[start]
    std::uint32_t start = 0;
    bool shortReceive = false;
    bool peerClosed = false;
    LineTaken lastLine;
    std::uint16_t port;
    os::WaitTime waitTime;
    // Set once TLS has started; every byte then goes through it.
    std::shared_ptr<os::TlsClient> tlsClient;
    os::TlsConnection* tls = nullptr;
    bool cutShort = false;
    char buffer[kReceiveBufferSize];

    os::WaitTime wait() const { return waitTime; }
    const char* data() const { return buffer + start; }
    void consume(std::uint32_t count) {
        buffered -= count;
        start = buffered == 0 ? 0 : start + count;
    }
};

void recordSocketFailure() { errorNumber = os::socketErrorNumber(); }

// The stream open under number, or null with 52 or 54 recorded.
StreamRecord* findStream(std::int32_t number) {
    detail::OpenRecord* record = detail::findRecord(number);
    if (record == nullptr) {
        errorNumber = 52;
        return nullptr;
    }
    if (record->kind != detail::RecordKind::tcpStream) {
        errorNumber = 54;
        return nullptr;
    }
    return static_cast<StreamRecord*>(record);
}

enum class Fill { received, peerClosed, timedOut, failed };

// The moment one wait from now runs out.
StreamDeadline deadlineAfter(os::WaitTime wait) {
    return std::chrono::steady_clock::now() + std::chrono::seconds(wait.seconds) +
           std::chrono::microseconds(wait.microseconds);
}

os::WaitTime waitOf(std::chrono::milliseconds span) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(span).count();
    if (micros <= 0) return os::WaitTime{0, 0};
    return os::WaitTime{static_cast<std::uint64_t>(micros / 1000000), static_cast<std::uint32_t>(micros % 1000000)};
}

// What is left until deadline, none once it has passed.
os::WaitTime waitUntil(StreamDeadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return os::WaitTime{0, 0};
    return os::WaitTime{static_cast<std::uint64_t>(left.count() / 1000000),
                        static_cast<std::uint32_t>(left.count() % 1000000)};
}

// A read's one wait in all: up to W, or up to the deadline given. It starts
// when the read first has to wait, so a receive that finds bytes ready (a
// fast transfer) reads no clock.
class ReadWait {
public:
    explicit ReadWait(const StreamRecord& stream, const StreamDeadline* deadline)
        : stream_(stream), given_(deadline) {}
    os::WaitTime left() {
        if (!started_) end_ = given_ ? *given_ : deadlineAfter(stream_.wait());
        started_ = true;
        return waitUntil(end_);
    }

private:
    const StreamRecord& stream_;
    const StreamDeadline* given_;
    bool started_ = false;
    StreamDeadline end_{};
};

// Waits for what the TLS connection asked for.
os::Readiness awaitTls(const StreamRecord& stream, os::TlsIo io, os::WaitTime wait) {
    return io == os::TlsIo::wantWrite ? os::waitWritable(stream.socket, wait) : os::waitReadable(stream.socket, wait);
}

// As fillBuffer, through TLS. Only close_notify ends the data in order: a
// bare close may have cut it short, and is remembered as such.
Fill fillFromTls(StreamRecord& stream, ReadWait& wait) {
    for (;;) {
        std::size_t got = 0;
        const os::TlsIo io = os::tlsRead(stream.tls, stream.buffer, kReceiveBufferSize, got);
        switch (io) {
            case os::TlsIo::done:
                stream.start = 0;
                stream.buffered = static_cast<std::uint32_t>(got);
                stream.shortReceive = got < kReceiveBufferSize;
                return Fill::received;
            case os::TlsIo::wantRead:
            case os::TlsIo::wantWrite:
                switch (awaitTls(stream, io, wait.left())) {
                    case os::Readiness::timedOut: return Fill::timedOut;
                    case os::Readiness::failed: recordSocketFailure(); return Fill::failed;
                    case os::Readiness::ready: break;
                }
                break;
            case os::TlsIo::bareClose: stream.cutShort = true; [[fallthrough]];
            case os::TlsIo::closeNotify:
                stream.shortReceive = true;
                stream.peerClosed = true;
                return Fill::peerClosed;
            case os::TlsIo::failed: recordSocketFailure(); return Fill::failed;
        }
    }
}

// One socket receive into the empty buffer, waiting for the socket to
// become readable when nothing has arrived yet: up to W in all, or up to
// deadline when one is given. In all: on TLS, records that bring no data
// (or a record trickled in byte by byte) must not earn a fresh wait each.
// Bytes already there are taken without asking first: a fast transfer then
// costs one system call per receive, not two.
Fill fillBuffer(StreamRecord& stream, const StreamDeadline* deadline = nullptr) {
    ReadWait wait(stream, deadline);
    if (stream.tls != nullptr) return fillFromTls(stream, wait);
    std::int64_t got = os::receiveSome(stream.socket, stream.buffer, kReceiveBufferSize);
    while (got == os::kNothingArrived) {
        switch (os::waitReadable(stream.socket, wait.left())) {
            case os::Readiness::timedOut: return Fill::timedOut;
            case os::Readiness::failed: recordSocketFailure(); return Fill::failed;
            case os::Readiness::ready: break;
        }
        got = os::receiveSome(stream.socket, stream.buffer, kReceiveBufferSize);
    }
    if (got < 0) {
        recordSocketFailure();
        return Fill::failed;
    }
    stream.start = 0;
    stream.buffered = static_cast<std::uint32_t>(got);
    if (got < static_cast<std::int64_t>(kReceiveBufferSize)) stream.shortReceive = true;
    if (got == 0) {
        stream.peerClosed = true;
        return Fill::peerClosed;
    }
    return Fill::received;
}

// Appends bytes to line without their CRs.
void appendWithoutCarriageReturns(std::string& line, const char* bytes, std::size_t count) {
    const char* end = bytes + count;
    while (bytes < end) {
        const char* cr = static_cast<const char*>(std::memchr(bytes, '\r', static_cast<std::size_t>(end - bytes)));
        const char* stop = cr ? cr : end;
        line.append(bytes, static_cast<std::size_t>(stop - bytes));
        bytes = cr ? cr + 1 : end;
    }
}

// Tries the addresses of host in the resolver's order, each connect bounded
// by the stream's wait, and keeps the first that answers. When none does,
// records what ended the last attempt: 24 when its wait ran out.
bool connectStream(StreamRecord& stream, std::string_view host) {
    std::int32_t failure = 57;
    // A NUL would cut the name short and name another host, as cutting a
    // name longer than any host's would; an empty name stands for this very
    // host on some platforms; port 0 names no service.
    if (!host.empty() && host.size() <= kLongestHostName && host.find('\0') == std::string_view::npos &&
        stream.port != 0) {
        for (const os::Address& address : os::resolveHost(std::string(host))) {
            stream.socket = os::openTcpSocket(address);
            if (stream.socket == os::kNoSocket) {
                failure = os::socketErrorNumber();
                continue;
            }
            const os::Readiness outcome = os::setNoLinger(stream.socket)
                                              ? os::connectWithin(stream.socket, address, stream.port, stream.wait())
                                              : os::Readiness::failed;
            if (outcome == os::Readiness::ready) return true;
            failure = outcome == os::Readiness::timedOut ? 24 : os::socketErrorNumber();
            os::closeSocket(stream.socket);
            stream.socket = os::kNoSocket;
        }
    }
    errorNumber = failure;
    return false;
}

}  // namespace

os::WaitTime streamWaitTime(std::uint32_t timeout) {
    // The remainder is shifted by 20 bits, not 10, and may exceed a second.
    std::uint64_t remainderMicroseconds = static_cast<std::uint64_t>(timeout % 1024) << 20;
    return os::WaitTime{timeout / 1024 + remainderMicroseconds / 1000000,
                        static_cast<std::uint32_t>(remainderMicroseconds % 1000000)};
}

// The host lookup and the connect may take as long as the platform lets
// them: they run with no lock held, and the stream joins the open list only
// once it is connected.
void StreamOpen(std::int32_t number, std::string_view host, std::uint16_t port, std::uint32_t timeout) {
    StreamOpenWithin(number, host, port, streamWaitTime(timeout == 0 ? 4294967295u : timeout));
}

void StreamOpenWithin(std::int32_t number, std::string_view host, std::uint16_t port, os::WaitTime wait) {
    if (!os::socketLibraryStart()) {
        errorNumber = 68;
        return;
    }
    if (!detail::validConnectionNumber(number)) {
        errorNumber = 52;
        os::socketLibraryStop();
        return;
    }
    if (detail::findRecord(number) != nullptr) {
        errorNumber = 55;
        os::socketLibraryStop();
        return;
    }
    StreamRecord* stream = new (std::nothrow) StreamRecord(number, port, wait);
    if (stream == nullptr) {
        errorNumber = 7;
        os::socketLibraryStop();
        return;
    }
    if (!connectStream(*stream, host)) {
        delete stream;
    } else if (!detail::linkRecordIfFree(stream)) {
        errorNumber = 55;
        delete stream;
    }
}

namespace {

// Sends every byte, waiting up to W for the connection to take some; how
// many were sent, fewer only after a failure (recorded). The wait runs from
// the last bytes taken: what the peer sends meanwhile earns no fresh one.
std::size_t sendThroughTls(StreamRecord& stream, const char* bytes, std::size_t count) {
    std::size_t sent = 0;
    StreamDeadline deadline = deadlineAfter(stream.wait());
    while (sent < count) {
        std::size_t taken = 0;
        const os::TlsIo io = os::tlsWrite(stream.tls, bytes + sent, count - sent, taken);
        sent += taken;
        if (io == os::TlsIo::done) {
            deadline = deadlineAfter(stream.wait());
            continue;
        }
        if (io != os::TlsIo::wantRead && io != os::TlsIo::wantWrite) {
            recordSocketFailure();
            return sent;
        }
        switch (awaitTls(stream, io, waitUntil(deadline))) {
            case os::Readiness::timedOut: errorNumber = 24; return sent;
            case os::Readiness::failed: recordSocketFailure(); return sent;
            case os::Readiness::ready: break;
        }
    }
    return sent;
}

std::size_t sendEvery(StreamRecord& stream, const char* bytes, std::size_t count) {
    if (stream.tls != nullptr) return sendThroughTls(stream, bytes, count);
    std::size_t sent = 0;
    while (sent < count) {
        switch (os::waitWritable(stream.socket, stream.wait())) {
            case os::Readiness::timedOut: errorNumber = 24; return sent;
            case os::Readiness::failed: recordSocketFailure(); return sent;
            case os::Readiness::ready: break;
        }
        const std::int64_t taken = os::sendSome(stream.socket, bytes + sent, count - sent);
        if (taken < 0) {
            recordSocketFailure();
            return sent;
        }
        sent += static_cast<std::size_t>(taken);
    }
    return sent;
}

}  // namespace

void StreamSend(std::int32_t number, std::string_view text) {
    StreamRecord* stream = findStream(number);
    if (stream == nullptr) return;
    sendEvery(*stream, text.data(), text.size());
}

// One send for the line and its CR LF: as two, the CR LF would wait behind
// the server's delayed acknowledgement of the command (Nagle), some 40 ms
// for every command of a session.
void StreamSendLine(std::int32_t number, std::string_view text) {
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text).append("\r\n");
    StreamSend(number, line);
}

namespace {

std::string readLine(StreamRecord& stream, const StreamDeadline* deadline) {
    std::string line;
    std::size_t capacityLeft = kLineCapacity;
    stream.lastLine = LineTaken{};
    for (;;) {
        std::uint32_t take = static_cast<std::uint32_t>(std::min<std::size_t>(stream.buffered, capacityLeft));
        const char* begin = stream.data();
        const char* lf = static_cast<const char*>(std::memchr(begin, '\n', take));
        if (lf != nullptr) {
            const std::uint32_t throughLineFeed = static_cast<std::uint32_t>(lf - begin) + 1;
            appendWithoutCarriageReturns(line, begin, throughLineFeed - 1);
            stream.consume(throughLineFeed);
            stream.lastLine = LineTaken{kLineCapacity - capacityLeft + throughLineFeed, false, true};
            return line;
        }
        appendWithoutCarriageReturns(line, begin, take);
        stream.consume(take);
        capacityLeft -= take;
        stream.lastLine = LineTaken{kLineCapacity - capacityLeft, capacityLeft == 0, false};
        if (stream.lastLine.cut || stream.peerClosed) return line;
        switch (fillBuffer(stream, deadline)) {
            case Fill::received: break;
            case Fill::peerClosed: return line;
            case Fill::timedOut:
                if (line.empty()) errorNumber = 24;
                return line;
            case Fill::failed: return {};
        }
    }
}

}  // namespace

std::string StreamReadLine(std::int32_t number) {
    StreamRecord* stream = findStream(number);
    return stream == nullptr ? std::string() : readLine(*stream, nullptr);
}

StreamDeadline StreamDeadlineFromNow(std::int32_t number) {
    detail::OpenRecord* record = detail::findRecord(number);
    if (record == nullptr || record->kind != detail::RecordKind::tcpStream) return std::chrono::steady_clock::now();
    return deadlineAfter(static_cast<const StreamRecord*>(record)->wait());
}

std::string StreamReadLineBefore(std::int32_t number, StreamDeadline deadline) {
    StreamRecord* stream = findStream(number);
    return stream == nullptr ? std::string() : readLine(*stream, &deadline);
}

std::size_t StreamReceive(std::int32_t number, char* destination, std::int32_t count) {
    if (count < 0) {
        errorNumber = 7;
        return 0;
    }
    StreamRecord* stream = findStream(number);
    if (stream == nullptr) return 0;
    const std::size_t wanted = static_cast<std::size_t>(count);
    std::size_t handed = 0;
    stream->shortReceive = false;
    for (;;) {
        std::uint32_t take = static_cast<std::uint32_t>(std::min<std::size_t>(stream->buffered, wanted - handed));
        std::memcpy(destination + handed, stream->data(), take);
        stream->consume(take);
        handed += take;
        if (stream->buffered > 0 || stream->shortReceive || handed == wanted || stream->peerClosed) return handed;
        switch (fillBuffer(*stream)) {
            case Fill::received: break;
            case Fill::peerClosed: return handed;
            case Fill::timedOut:
                if (handed == 0) {
                    errorNumber = 24;
                    return 0;
                }
                stream->shortReceive = true;
                return handed;
            case Fill::failed: return 0;
        }
    }
}

bool StreamReceiveReady(std::int32_t number, std::size_t count) {
    detail::OpenRecord* record = detail::findRecord(number);
    if (record == nullptr || record->kind != detail::RecordKind::tcpStream) return true;
    const StreamRecord* stream = static_cast<const StreamRecord*>(record);
    return stream->buffered >= count || stream->peerClosed;
}

bool StreamAwaitData(std::int32_t number, std::chrono::milliseconds limit) {
    detail::OpenRecord* record = detail::findRecord(number);
    if (record == nullptr || record->kind != detail::RecordKind::tcpStream) return true;
    const StreamRecord* stream = static_cast<const StreamRecord*>(record);
    if (stream->buffered > 0 || stream->peerClosed || stream->socket == os::kNoSocket) return true;
    if (stream->tls != nullptr && os::tlsHasPending(stream->tls)) return true;
    return os::waitReadable(stream->socket, waitOf(limit)) != os::Readiness::timedOut;
}

bool StreamAwaitRoom(std::int32_t number, std::chrono::milliseconds limit) {
    detail::OpenRecord* record = detail::findRecord(number);
    if (record == nullptr || record->kind != detail::RecordKind::tcpStream) return true;
    const StreamRecord* stream = static_cast<const StreamRecord*>(record);
    return stream->socket == os::kNoSocket ||
           os::waitWritable(stream->socket, waitOf(limit)) != os::Readiness::timedOut;
}

// Through a buffer: sendfile() would spare a copy, but over loopback it made
// the whole transfer slower (1 GiB to vsftpd: 0.59 s, against 0.40 s through
// a buffer).
FileSendResult StreamSendFile(std::int32_t number, std::int32_t file, std::uint64_t count) {
    FileSendResult result;
    StreamRecord* stream = findStream(number);
    if (stream == nullptr) {
        result.end = FileSendEnd::streamFailed;
        return result;
    }
    os::FileHandle handle{};
    if (!LocalFileHandle(file, handle)) {
        result.end = FileSendEnd::fileFailed;
        return result;
    }
    char buffer[kReceiveBufferSize];
    while (result.sent < count) {
        const std::size_t ask = static_cast<std::size_t>(std::min<std::uint64_t>(count - result.sent, kReceiveBufferSize));
        std::size_t got = 0;
        if (std::int32_t error = os::readFile(handle, buffer, ask, got)) {
            errorNumber = error;
            result.end = FileSendEnd::fileFailed;
            return result;
        }
        if (got == 0) {
            result.end = FileSendEnd::fileEnded;
            return result;
        }
        const std::size_t sent = sendEvery(*stream, buffer, got);
        result.sent += sent;
        if (sent < got) {
            result.end = FileSendEnd::streamFailed;
            return result;
        }
    }
    return result;
}

void StreamAbort(std::int32_t number) {
    detail::OpenRecord* record = detail::findRecord(number);
    if (record != nullptr && record->kind == detail::RecordKind::tcpStream) {
        StreamRecord* stream = static_cast<StreamRecord*>(record);
        os::abortSocket(std::exchange(stream->socket, os::kNoSocket));
    }
    StreamClose(number);
}

bool StreamEnded(std::int32_t number) {
    detail::OpenRecord* record = detail::findRecord(number);
    if (record == nullptr || record->kind != detail::RecordKind::tcpStream) return true;
    const StreamRecord* stream = static_cast<const StreamRecord*>(record);
    return stream->peerClosed && stream->buffered == 0;
}

std::string StreamPeerAddress(std::int32_t number) {
    detail::OpenRecord* record = detail::findRecord(number);
    if (record == nullptr || record->kind != detail::RecordKind::tcpStream) return std::string();
    return os::peerAddressText(static_cast<const StreamRecord*>(record)->socket);
}

LineTaken StreamLastLine(std::int32_t number) {
    detail::OpenRecord* record = detail::findRecord(number);
    if (record == nullptr || record->kind != detail::RecordKind::tcpStream) return LineTaken{};
    return static_cast<const StreamRecord*>(record)->lastLine;
}

namespace {

std::int32_t tlsErrorNumber(os::TlsCheck check) {
    switch (check) {
        case os::TlsCheck::passed: return 0;
        case os::TlsCheck::untrusted: return kTlsUntrusted;
        case os::TlsCheck::nameMismatch: return kTlsNameMismatch;
        case os::TlsCheck::pinMismatch: return kTlsPinMismatch;
        case os::TlsCheck::unavailable: return kTlsUnavailable;
        case os::TlsCheck::handshakeFailed: break;
    }
    return kTlsHandshakeFailed;
}

// Sets TLS up on the stream; the handshake is still to come. False with the
// failure recorded.
bool beginTls(StreamRecord& stream, std::shared_ptr<os::TlsClient> client) {
    // What came with the go-ahead (a server's, or one injected on the way)
    // would be served after the handshake as if it had come through TLS.
    if (stream.buffered > 0) {
        errorNumber = kTlsClearBytes;
        return false;
    }
    if (client == nullptr) {
        errorNumber = kTlsUnavailable;
        return false;
    }
    stream.tls = os::tlsBegin(client, stream.socket);
    stream.tlsClient = std::move(client);
    if (stream.tls == nullptr) {
        errorNumber = kTlsHandshakeFailed;
        return false;
    }
    return true;
}

// Why the handshake failed: the certificate check, when it is what failed.
void recordHandshakeFailure(StreamRecord& stream) {
    const std::int32_t error = tlsErrorNumber(os::tlsCheck(stream.tls));
    errorNumber = error == 0 ? kTlsHandshakeFailed : error;
}

// What the handshake waits for, and the watched stream (when there is one)
// for bytes to read: which came, or that the deadline passed.
enum class Awaited { handshake, watched, timedOut, failed };

Awaited awaitHandshake(const StreamRecord& stream, os::TlsIo io, const StreamRecord* watched,
                       StreamDeadline deadline) {
    if (watched == nullptr) {
        switch (awaitTls(stream, io, waitUntil(deadline))) {
            case os::Readiness::ready: return Awaited::handshake;
            case os::Readiness::timedOut: return Awaited::timedOut;
            case os::Readiness::failed: return Awaited::failed;
        }
    }
    const os::EitherReady ready =
        os::waitEither(stream.socket, io == os::TlsIo::wantWrite, watched->socket, waitUntil(deadline));
    if (ready.outcome == os::Readiness::timedOut) return Awaited::timedOut;
    if (ready.outcome == os::Readiness::failed) return Awaited::failed;
    return ready.watched ? Awaited::watched : Awaited::handshake;
}

// Drives the handshake until it is done and the certificate checked, it
// fails, watched has bytes to read, or deadline passes.
TlsProgress driveHandshake(StreamRecord& stream, const StreamRecord* watched, StreamDeadline deadline) {
    for (;;) {
        if (watched != nullptr && watched->buffered > 0) return TlsProgress::watchedReadable;
        const os::TlsIo io = os::tlsHandshake(stream.tls);
        if (io == os::TlsIo::done) {
            if (const std::int32_t error = tlsErrorNumber(os::tlsCheck(stream.tls))) {
                errorNumber = error;
                return TlsProgress::failed;
            }
            return TlsProgress::done;
        }
        const Awaited awaited = io == os::TlsIo::wantRead || io == os::TlsIo::wantWrite
                                    ? awaitHandshake(stream, io, watched, deadline)
                                    : Awaited::failed;
        switch (awaited) {
            case Awaited::handshake: break;
            case Awaited::watched: return TlsProgress::watchedReadable;
            case Awaited::timedOut: return TlsProgress::timedOut;
            case Awaited::failed: recordHandshakeFailure(stream); return TlsProgress::failed;
        }
    }
}

// The whole handshake, and the check of the certificate, within one wait.
void startTls(StreamRecord& stream, std::shared_ptr<os::TlsClient> client) {
    if (!beginTls(stream, std::move(client))) return;
    if (driveHandshake(stream, nullptr, deadlineAfter(stream.wait())) == TlsProgress::timedOut)
        recordHandshakeFailure(stream);
}

StreamRecord* findTlsStream(std::int32_t number) {
    StreamRecord* stream = findStream(number);
    return stream != nullptr && stream->tls != nullptr ? stream : nullptr;
}

}  // namespace

bool StreamTLSAvailable() { return os::tlsAvailable(); }

void StreamStartTLS(std::int32_t number, const std::string& host, const std::string& pin) {
    if (StreamRecord* stream = findStream(number)) startTls(*stream, os::tlsClient(host, pin));
}

void StreamBeginTLSLike(std::int32_t number, std::int32_t model) {
    StreamRecord* stream = findStream(number);
    if (stream == nullptr) return;
    StreamRecord* secured = findTlsStream(model);
    if (secured == nullptr) {
        errorNumber = kTlsUnavailable;
        return;
    }
    beginTls(*stream, secured->tlsClient);
}

TlsProgress StreamContinueTLS(std::int32_t number, std::int32_t watched, StreamDeadline deadline) {
    StreamRecord* stream = findTlsStream(number);
    if (stream == nullptr) return TlsProgress::failed;
    return driveHandshake(*stream, watched == kWatchingNone ? nullptr : findStream(watched), deadline);
}

bool StreamSecured(std::int32_t number) {
    detail::OpenRecord* record = detail::findRecord(number);
    return record != nullptr && record->kind == detail::RecordKind::tcpStream &&
           static_cast<const StreamRecord*>(record)->tls != nullptr;
}

void StreamKeepTLSSession(std::int32_t number) {
    if (StreamRecord* stream = findTlsStream(number)) os::tlsKeepSession(stream->tls);
}

void StreamSetWait(std::int32_t number, os::WaitTime wait) {
    if (StreamRecord* stream = findStream(number)) stream->waitTime = wait;
}

std::string StreamTLSProtocol(std::int32_t number) {
    StreamRecord* stream = findStream(number);
    return stream == nullptr || stream->tls == nullptr ? std::string() : os::tlsProtocol(stream->tls);
}

bool StreamTLSResumed(std::int32_t number) {
    StreamRecord* stream = findTlsStream(number);
    return stream != nullptr && os::tlsResumed(stream->tls);
}

// Before the socket closes, what the peer still sends is read and dropped:
// unread bytes at the close (a TLS 1.3 session ticket, the peer's own
// close_notify) would turn it into a reset, which can cut the data the peer
// has not yet taken.
void StreamCloseNotify(std::int32_t number) { StreamCloseNotifyBefore(number, StreamDeadlineFromNow(number)); }

void StreamCloseNotifyBefore(std::int32_t number, StreamDeadline deadline) {
    StreamRecord* stream = findTlsStream(number);
    if (stream == nullptr) return;
    for (os::TlsIo io = os::tlsCloseNotify(stream->tls); io != os::TlsIo::done; io = os::tlsCloseNotify(stream->tls)) {
        if ((io != os::TlsIo::wantRead && io != os::TlsIo::wantWrite) ||
            awaitTls(*stream, io, waitUntil(deadline)) != os::Readiness::ready) {
            errorNumber = 24;
            return;
        }
    }
    // A peer that sends without end is read for the one wait.
    while (!stream->peerClosed && std::chrono::steady_clock::now() < deadline) {
        std::size_t got = 0;
        const os::TlsIo io = os::tlsRead(stream->tls, stream->buffer, kReceiveBufferSize, got);
        if (io == os::TlsIo::done) continue;
        if ((io != os::TlsIo::wantRead && io != os::TlsIo::wantWrite) ||
            awaitTls(*stream, io, waitUntil(deadline)) != os::Readiness::ready)
            return;
    }
}

bool StreamCutShort(std::int32_t number) {
    StreamRecord* stream = findTlsStream(number);
    return stream != nullptr && stream->cutShort;
}

}  // namespace talven
