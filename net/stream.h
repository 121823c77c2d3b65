// TCP byte streams over IPv4 and IPv6, named by connection numbers.
//
// Sockets are blocking; every wait for the socket to become readable or
// writable is bounded by the stream's wait time W, derived from the stream
// timeout T given at open: (T div 1024) seconds plus (T mod 1024) x 1,048,576
// microseconds. T = 60 gives 62.914560 s; T = 0 stands for 4,294,967,295.
//
// Failures record an error number (see open_list.h) and return normally, with
// an empty text where there is a text result:
//   7  no memory, or a negative count      52  no such number (or negative)
//  24  a readiness wait ran out            54  the number names a local file
//  55  the number is already open          57  any other socket failure
//  68  the socket library cannot start     70  a blocking call in progress
// and, on TLS streams, those of the kTls numbers below.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "open_list.h"
#include "os.h"

namespace talven {

// The error number of a readiness wait that ran out.
inline constexpr std::int32_t kWaitRanOut = 24;

inline constexpr std::size_t kReceiveBufferSize = 65536;
inline constexpr std::size_t kLineCapacity = 65536;

os::WaitTime streamWaitTime(std::uint32_t timeout);

// Longer host names name no host (DNS holds 253 characters); they fail as
// one that names none does (57), and are never cut to one that might.
inline constexpr std::size_t kLongestHostName = 255;

// Opens a TCP client stream to host:port under number. The host's addresses,
// IPv4 and IPv6, are tried in the order the resolver gives them, each
// connect bounded by W; the first that answers is kept. The lookup takes as
// long as the platform takes; the timeout bounds the connects and later waits.
void StreamOpen(std::int32_t number, std::string_view host, std::uint16_t port, std::uint32_t timeout);
// StreamOpen with the wait W given as it stands rather than by a timeout.
void StreamOpenWithin(std::int32_t number, std::string_view host, std::uint16_t port, os::WaitTime wait);
// Gives the open stream another wait W, for every wait that starts from now.
void StreamSetWait(std::int32_t number, os::WaitTime wait);

// Sends every byte of text, waiting up to W for writability before each send.
void StreamSend(std::int32_t number, std::string_view text);

// StreamSend of text followed by CR LF, in one send.
void StreamSendLine(std::int32_t number, std::string_view text);

// One line: the bytes up to LF, every CR dropped, LF not kept. At most 65,536
// bytes (CR and LF included) are taken per call; a longer line comes back in
// pieces. A wait that runs out after some bytes returns them without error;
// a peer that has closed gives what is left, then empty texts at once.
std::string StreamReadLine(std::int32_t number);

// A point in time that bounds a whole exchange rather than each wait.
using StreamDeadline = std::chrono::steady_clock::time_point;
// Now plus the wait time W of the stream open under number (now when none).
StreamDeadline StreamDeadlineFromNow(std::int32_t number);
// StreamReadLine whose waits for the socket all end at deadline: a line
// however slowly it comes takes no longer than that.
std::string StreamReadLineBefore(std::int32_t number, StreamDeadline deadline);

// Up to count bytes into destination, returning how many. Never waits to fill
// the count: it goes on receiving only while each socket receive comes back
// full. Returns 0 once the peer has closed and everything has been taken.
std::size_t StreamReceive(std::int32_t number, char* destination, std::int32_t count);

// True when StreamReceive of count bytes would be served without waiting for
// the socket: that many bytes are buffered, or the peer has closed its side.
bool StreamReceiveReady(std::int32_t number, std::size_t count);

// True when data is at hand on number within limit: StreamReceiveReady of
// one byte, bytes the TLS connection holds, or the socket turning readable
// (or failing) before limit runs out. Takes nothing from the stream.
bool StreamAwaitData(std::int32_t number, std::chrono::milliseconds limit);

// True when number can take bytes to send within limit: its socket turns
// writable (or fails) before limit runs out.
bool StreamAwaitRoom(std::int32_t number, std::chrono::milliseconds limit);

// How StreamSendFile ended. fileFailed and streamFailed record an error
// number (the file's, or the stream's as StreamSend would); fileEnded means
// the file held fewer bytes than asked for.
enum class FileSendEnd { complete, fileEnded, fileFailed, streamFailed };
struct FileSendResult {
    std::uint64_t sent = 0;
    FileSendEnd end = FileSendEnd::complete;
};

// Sends count bytes of the local file open under file, from its current
// position, waiting up to W for writability before each send as StreamSend
// does. Reports how many bytes were sent, also when it ended early.
FileSendResult StreamSendFile(std::int32_t number, std::int32_t file, std::uint64_t count);

// Closes the stream open under number with a reset, so that the peer sees
// the connection broken rather than ended; anything else open there is
// closed as StreamClose would. Unsent and unread bytes are discarded.
void StreamAbort(std::int32_t number);

// True once the peer has closed its side and every received byte is taken.
bool StreamEnded(std::int32_t number);

// The numeric address the stream under number is connected to ("127.0.0.1",
// "::1"), for opening another stream to the same host without a lookup;
// empty when there is none.
std::string StreamPeerAddress(std::int32_t number);

// What the last StreamReadLine on number took from the stream: every byte,
// CRs and the LF included, whether it stopped at the line capacity before
// any LF (the line then goes on in the next call), and whether it ended at
// its LF (not at a wait that ran out, a failure or the peer's close).
struct LineTaken {
    std::size_t bytes = 0;
    bool cut = false;
    bool ended = false;
};
LineTaken StreamLastLine(std::int32_t number);

// ---- TLS ----
// A stream may carry TLS as its client; from then on every byte it sends and
// receives goes through TLS, and the handshake, each read and each write
// are bounded by the stream's wait W as the socket's waits are.

inline constexpr std::int32_t kTlsHandshakeFailed = 80;  // refused, broken, or no answer within W
inline constexpr std::int32_t kTlsUntrusted = 81;        // no chain to a trusted root, or expired
inline constexpr std::int32_t kTlsNameMismatch = 82;     // the certificate names another host
inline constexpr std::int32_t kTlsPinMismatch = 83;      // not the certificate with the given fingerprint
inline constexpr std::int32_t kTlsUnavailable = 84;      // this build has no TLS
inline constexpr std::int32_t kTlsClearBytes = 86;       // bytes came in clear before the handshake

// False where this build has no TLS.
bool StreamTLSAvailable();
// Starts TLS on the open stream: the handshake with the server host, whose
// certificate must chain to the system's trust store and match host, or,
// when pin is not empty, have the SHA-256 fingerprint pin (64 lower-case hex
// digits). A failure records one of the numbers above; the stream then
// sends and receives nothing more. Bytes already received in clear and not
// yet read fail it at once with kTlsClearBytes, before anything is sent: no
// one vouches for them, and read after the handshake they would pass for
// bytes that came through TLS.
void StreamStartTLS(std::int32_t number, const std::string& host, const std::string& pin);
// Sets TLS up on number for the same server and with the same checks as
// the TLS stream model, offering the session that model keeps. The
// handshake is StreamContinueTLS's, so that the caller can watch another
// stream meanwhile.
void StreamBeginTLSLike(std::int32_t number, std::int32_t model);
enum class TlsProgress { done, failed, watchedReadable, timedOut };
// Drives the handshake that StreamBeginTLSLike began until it is done (the
// certificate checked), fails (its error number recorded), the stream
// watched has bytes to read (never with kWatchingNone), or deadline passes.
inline constexpr std::int32_t kWatchingNone = -1;
TlsProgress StreamContinueTLS(std::int32_t number, std::int32_t watched, StreamDeadline deadline);
// True when the stream carries TLS.
bool StreamSecured(std::int32_t number);
// Keeps the stream's TLS session for StreamBeginTLSLike to offer. With TLS
// 1.3 the resumable session arrives after the handshake, with the first
// data: keep it after having read some.
void StreamKeepTLSSession(std::int32_t number);
bool StreamTLSResumed(std::int32_t number);
// The protocol the stream's TLS runs ("TLS 1.3"); empty without TLS.
std::string StreamTLSProtocol(std::int32_t number);
// Sends close_notify, then reads and drops what the peer still sends until
// it ends the stream, all within W.
void StreamCloseNotify(std::int32_t number);
// StreamCloseNotify within the time left until deadline, so that the end of
// a transfer and the reply that confirms it can share one wait.
void StreamCloseNotifyBefore(std::int32_t number, StreamDeadline deadline);
// True when the peer of a TLS stream closed it without close_notify, which
// may have cut its data short.
bool StreamCutShort(std::int32_t number);

}  // namespace talven
