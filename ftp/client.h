// The FTP client's C++ interface: the control session, the last status and,
// for tests, the internal entries behind the exported C functions.
//
// Strings are byte strings, sent and received without any conversion. The
// reason for a failure is left in the calling thread's last status: the
// reply line that ended the exchange, or a line built in the same shape
// ("NNN text") for a failure found before the server could answer. Threads
// may work at once, each on sessions of its own (see talvenftp.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talven {

// A point in time that bounds a whole exchange (as in the stream layer).
using StreamDeadline = std::chrono::steady_clock::time_point;

// ---- Reply lines and the last status ----

// The number at the start of the first three characters of a reply line.
std::int32_t ftpReplyCode(std::string_view line);
// The last status becomes the line's code and its text from the fourth
// character on, without leading and trailing blanks.
void ftpRecordReply(const std::string& line);
std::int32_t ftpLastReplyCode();
const std::string& ftpLastReplyText();
// The built status line: number as three digits, a blank, text.
std::string builtStatusLine(std::int32_t number, std::string_view text);
// Records the built status line.
void ftpRecordBuiltStatus(std::int32_t number, std::string_view text);

struct BuiltStatus {
    std::int32_t number;
    std::string_view text;
};
// Why a reply could not be read whole. The session is then lost: see
// ftpLoseSession.
inline constexpr BuiltStatus kControlConnectionTimedOut{91, "Control Connection Timed Out"};
// Closed by the server, reset or failed: after the server has closed, a
// command sent may draw a reset, so the two cannot be told apart reliably.
inline constexpr BuiltStatus kControlConnectionLost{92, "Control Connection Lost"};
inline constexpr BuiltStatus kReplyTooLong{93, "Reply Too Long"};
// The handle names no open session (never opened, or quit).
inline constexpr BuiltStatus kNotConnected{94, "Not Connected"};

// Reads the final reply to a command from a control stream: preliminary
// replies (1xx) before it are read and dropped. A reply's first line whose
// fourth character is "-" opens a multi-line reply, ended by the line that
// begins with the same code followed by a blank or by nothing ("2201" or
// "220-" inside a 220 reply end nothing). A line longer
// than the line capacity stands as its first 65,536 bytes; the rest up to
// its LF is read and dropped. Returns the line that ends the final reply.
// All of it, preliminary replies included, must come within one wait W and
// kReplySizeLimit bytes taken from the stream (dropped CRs counted): when it
// cannot be read whole (the wait ran out before the LF of its last line, the
// stream failed or closed, or the bound was passed), the session is lost and
// the result is the built status line that says why (91 to 93); 94 when the
// handle names no open stream.
std::string ftpReadReply(std::int32_t session);
// ftpReadReply within the time left until deadline rather than one wait
// from now: for a reply that shares a wait with what came before it.
std::string ftpReadReplyBefore(std::int32_t session, StreamDeadline deadline);
// As ftpReadReplyBefore, but a go-ahead (see ftpTransferMayStart) ends it
// too: the first reply to a transfer command that is not another
// preliminary one.
std::string ftpReadGoAheadBefore(std::int32_t session, StreamDeadline deadline);
// The server's reply to a transfer broken off after its go-ahead (the data
// connection failed, or the client ended it early): the next reply, whatever
// its code, within the time left until deadline. No final reply need follow
// a preliminary one there: pure-ftpd answers a download whose data
// connection failed under it only with its closing line under the go-ahead's
// code ("150 0.001 seconds (measured here), ..."). Otherwise as
// ftpReadReplyBefore.
std::string ftpReadBrokenTransferReplyBefore(std::int32_t session, StreamDeadline deadline);
inline constexpr std::size_t kReplySizeLimit = 1 << 20;
// Reads the greeting: any 120 replies, then a 220 reply, all within one wait
// and one reply bound. Any other reply, or one that cannot be read whole, is
// recorded and the result is false.
bool ftpReadGreeting(std::int32_t session);
// 1xx: a preliminary reply.
bool ftpPreliminary(std::string_view reply);
// 226 or 250: the server confirms a transfer.
bool ftpTransferComplete(std::string_view reply);

// ---- Session open and close ----

inline constexpr std::uint16_t kControlPort = 21;
inline constexpr std::uint32_t kStreamTimeout = 60;

// Status recorded when a name or other argument holds CR, LF or NUL, which
// would end the command line early and slip further commands in.
inline constexpr std::int32_t kInvalidArgumentNumber = 5;
inline constexpr std::string_view kInvalidArgumentText = "Invalid Character In Argument";
bool safeCommandArgument(std::string_view argument);
// Recorded when a connect is given a host name longer than 255 bytes
// (kLongestHostName), which names no host: it is refused, never cut to a
// name that could name another; nothing is looked up or sent.
inline constexpr BuiltStatus kHostNameTooLong{6, "Host Name Too Long"};

// A session handle (the control stream's connection number), or -1.
std::int32_t ftpConnect(const std::string& host, const std::string& user, const std::string& password);
// ftpConnect to another control port than 21.
std::int32_t ftpConnectToPort(const std::string& host, std::uint16_t port, const std::string& user,
                              const std::string& password);
void ftpQuit(std::int32_t session);

// ---- Explicit FTPS ----
// After the greeting: AUTH TLS (234), the TLS handshake with the server's
// certificate checked (see StreamStartTLS; pin is the SHA-256 fingerprint,
// hex, colons and case ignored, or empty), then USER and PASS as ftpConnect
// sends them, then PBSZ 0 and PROT P (200 each). Nothing is ever sent in
// clear after AUTH TLS. A session handle, or -1 with the server's refusal or
// the TLS failure as the last status.
std::int32_t ftpConnectTLS(const std::string& host, const std::string& user, const std::string& password,
                           const std::string& pin);
std::int32_t ftpConnectTLSToPort(const std::string& host, std::uint16_t port, const std::string& user,
                                 const std::string& password, const std::string& pin);
// Records the built status for a TLS error number of the stream layer.
void ftpRecordTlsFailure(std::int32_t error);
// Recorded for kTlsClearBytes: bytes that came in clear after the go-ahead
// to TLS (past the 234 line's end), before the handshake. The connection is
// closed with nothing more sent.
inline constexpr std::string_view kClearBytesText = "Unencrypted Data Before TLS Handshake";
// Recorded when a TLS data connection ended without close_notify: the data
// may have been cut short.
inline constexpr std::int32_t kDataCutShortNumber = 85;
inline constexpr std::string_view kDataCutShortText = "Data Connection Cut Short";

// Whether the session's server refused EPSV; only PASV is sent to it then.
bool ftpEpsvRefused(std::int32_t session);
void ftpNoteEpsvRefused(std::int32_t session);

// The host name each session was opened with, by session handle; empty for
// a handle that never named a session.
std::string sessionHost(std::int32_t session);

// A session whose reply could not be read whole can no longer be trusted:
// its control connection is closed and status is kept for its handle.
void ftpLoseSession(std::int32_t session, const std::string& status);
// A data connection that stalled for a whole wait: the server is taken for
// hung. It is broken off, and so is the session, recording "024 Data
// Connection Timed Out": waiting for the reply to the transfer would cost
// another wait, and a reply that came later still would pass for the next
// command's.
void ftpLoseSessionToStalledData(std::int32_t session, std::int32_t data);
// True for a lost session, whose every operation then fails at once,
// sending nothing; the status kept for it is recorded again.
bool ftpSessionLost(std::int32_t session);

// ---- Status texts ----

// The English text for a reply code; empty for a code without one.
std::string ftpStatusText(std::int32_t code);

// ---- Simple commands ----
// Each sends one command (two for a rename), reads the whole reply and
// records it; 1 when the reply has the success code, else 0. On a lost
// session nothing is sent and the result is 0 (or empty).

// Sends command and reads, records and returns its whole reply.
std::string ftpExchange(std::int32_t session, const std::string& command);
std::int32_t ftpDeleteFile(std::int32_t session, const std::string& name);   // DELE, 250
std::int32_t FTPMAKEDIR(std::int32_t session, const std::string& name);      // MKD, 257
std::int32_t FTPREMOVEDIR(std::int32_t session, const std::string& name);    // RMD, 250
// RNFR (350), then RNTO (250); RNTO is not sent when RNFR is refused.
std::int32_t FTPMOVEORRENAME(std::int32_t session, const std::string& oldName, const std::string& newName);
void ftpSetAscii(std::int32_t session);   // TYPE A, reply not examined
void ftpSetBinary(std::int32_t session);  // TYPE I, reply not examined
// PWD: the name between the first double quote of a 257 reply and the next
// one that is not doubled, with doubled ones undoubled; or empty.
std::string ftpCurDir(std::int32_t session);
// CWD with the name's leading and trailing blanks removed, 250.
std::int32_t ftpChangeDir(std::int32_t session, const std::string& name);

// ---- Passive data channel ----

inline constexpr std::size_t kChunkSize = 8192;

// The text between the first parenthesis of either kind and the next one.
std::string parenthesisedText(std::string_view line);
// Sends PASV (EPSV when the control connection is IPv6) and opens the data
// connection to the control connection's address at the port of the 227
// (229) reply. A server that answers EPSV with 500, 501 or 502 gets PASV
// instead, and from then on at once for the rest of the session. The data
// connection number, or -1: the reply is then the last status when it
// refused, else a built status holding the stream's error number (a port of
// 0 or a reply that names none included).
std::int32_t ftpOpenDataChannel(std::int32_t session);
// ftpOpenDataChannel, then the transfer type with setType (ftpSetAscii or
// ftpSetBinary, its reply not examined); -1 with the data connection closed
// when the session was lost on TYPE.
std::int32_t ftpOpenDataChannelOfType(std::int32_t session, void (*setType)(std::int32_t));
inline constexpr std::string_view kDataConnectionFailedText = "Unable to open data connection";
// What a 227 reply names its address and port with: its parenthesised text
// or, in a reply without parentheses, the first six decimal numbers joined
// by commas (empty when it has none).
std::string ftpPasvAddressText(std::string_view reply);
// The port that a PASV address text names: the fifth and sixth
// comma-separated numbers, each cut to its low 8 bits; a missing one is 0.
std::uint16_t ftpPasvPort(std::string_view addressText);
// The port of a 229 reply's "(|||port|)": any printable non-digit delimiter,
// the same four times, and a port from 1 to 65535; 0 for anything else.
std::uint16_t ftpEpsvPort(std::string_view reply);
// Receives up to one chunk into chunk; 0 when the data has ended.
std::int32_t ftpReceiveChunk(std::int32_t data, std::string& chunk);
// 1 when every byte was sent, else 0.
std::int32_t ftpSendChunk(std::int32_t data, std::string_view bytes);
// 150, or 125 (the go-ahead when the data connection is already open).
bool ftpTransferMayStart(std::string_view reply);
// Sends the transfer command and reads its first reply. On a TLS session
// the data connection's handshake starts at once, while the control
// connection is watched: some servers handshake only after their go-ahead
// (vsftpd), others only before it (ftp-srv), and a refusal still ends the
// transfer as it comes. The go-ahead and the handshake share one wait. The
// go-ahead, or an empty text with the data connection closed and the
// reason recorded: the refusal, the TLS failure, a session lost on the
// control connection, or a data connection that never handshook within the
// wait after the go-ahead (ftpLoseSessionToStalledData).
std::string ftpStartTransfer(std::int32_t session, std::int32_t data, const std::string& command);

// Ends a transfer whose data the client received. dataError is the error
// number the data connection ended with (24: a wait ran out; 57: a reset or
// other failure), 0 when it ended cleanly: by the server's close, or where
// the client chose to stop reading. kept is false when the client could not
// keep the data; it then sends no TLS close_notify. A stalled data
// connection loses the session (ftpLoseSessionToStalledData). Otherwise the
// data connection is closed and the completion reply read (when the data
// failed or was not kept, as ftpReadBrokenTransferReplyBefore reads it). The
// result is that reply, not yet recorded, when it is 226 or 250 and the data
// came whole; else empty, with the reason recorded: the reply, "NNN Data
// Connection Error" (the server confirmed data that ended in a failure, or
// answered it with a preliminary reply alone) or "085 Data Connection Cut
// Short".
std::string ftpFinishReceiving(std::int32_t session, std::int32_t data, std::int32_t dataError, bool kept);

// ---- Transfers ----

// Stores the local file under remoteName: TYPE I, PASV, STOR, the data in
// chunks with a progress caption after each (in window when it is > 0, else
// on the console), then the completion reply. 1 when the server confirmed
// the file with 226 or 250, else 0 with the reason in the last status. A
// refused TYPE I (4xx, 5xx) ends it there: the file would go as ASCII text.
std::int32_t ftpPutFile(std::int32_t session, std::int32_t window, const std::string& remoteName,
                        const std::string& localPath);
// As ftpPutFile, but continues a partial remote file: after TYPE I, SIZE;
// when the server holds 0 < n <= the local file's size bytes, REST n and
// STOR (APPE where REST is refused) and the local file from byte n on, the
// progress counting from n. A missing remote file, a larger one or a size the
// server cannot tell gets the whole file under STOR.
std::int32_t ftpResumePutFile(std::int32_t session, std::int32_t window, const std::string& remoteName,
                              const std::string& localPath);
// The remote file's size from SIZE, after TYPE I; -1 with the reply (or the
// built status) as the last status when the server cannot tell.
double ftpFileSize(std::int32_t session, const std::string& remoteName);

// Where the calling thread's last ftpPutFile or ftpResumePutFile failed, so
// that a caller can tell a refusal of the name from one of the session.
enum class UploadStep {
    none,          // it stored the file
    localFile,     // the local file: missing, unreadable or changing
    preparing,     // before the transfer command: the argument, TYPE, SIZE,
                   // the data connection, REST, or a session already lost
    storeCommand,  // the reply to STOR (APPE), or the data connection's TLS
    data,          // the data connection broke, reset or stalled after the
                   // server had accepted the transfer
    completion,    // every byte sent; the completion reply refused the file
                   // or did not arrive (the session then lost)
};
UploadStep ftpLastUploadStep();

// Fetches remoteName into localPath: PASV, TYPE I, RETR, each chunk written
// as it arrives with a progress caption after it (in window when it is not
// 0, else from column 1 of the console row), then the completion reply.
// The data goes to a temporary file beside localPath that replaces it only
// when the server closed the data connection (not a wait that ran out, nor a
// reset) and confirmed the transfer with 226 or 250: then 1, with that reply
// as the last status. Otherwise 0 and the old file as it was.
std::int32_t ftpGetFile(std::int32_t session, std::int32_t window, const std::string& remoteName,
                        const std::string& localPath);
// The size that a 150 reply to RETR announces in its first parentheses, for
// the progress caption only; 0 without one.
std::int64_t ftpAnnouncedSize(std::string_view goAhead);

// ---- Directory listings ----
// Each fills lines anew: element 0 is always the empty string and the lines
// follow in the order received; the result is the highest element number.

// At most this many bytes of listing lines are kept, each line counted with
// every byte read for it (its CRs and LF too) and the memory its string
// takes; a longer listing is cut there, and fails with kListingTooLong.
inline constexpr std::size_t kListingSizeLimit = 64u << 20;
inline constexpr BuiltStatus kListingTooLong{12, "Listing Too Long"};
// A listing line longer than the line capacity (64 KiB) is no entry any
// file system holds: the listing fails as one cut at its bound does.
inline constexpr BuiltStatus kListingLineTooLong{13, "Listing Line Too Long"};

// PASV, TYPE A, LIST; every line up to an empty or all-blank line or the end.
// The lines count only when the data connection did not fail and the server
// confirmed the listing with 226 or 250 (see ftpFinishReceiving); anything
// else gives 0 with element 0 alone and the reason as the last status: a
// LIST answered with anything but 125 or 150, a completion reply such as 426
// or 451, a reset (057 "Data Connection Error"), a stalled data connection
// (024, which loses the session), a listing cut at its bound (012) or at a
// line longer than the line capacity (013; for either the completion reply
// is read and dropped) or a session lost on the completion reply.
std::int32_t ftpGetList(std::int32_t session, std::vector<std::string>& lines);
// The lines of ftpGetList that begin with "-" (plain files).
std::int32_t ftpGetFileList(std::int32_t session, std::vector<std::string>& lines);
// The lines of ftpGetList that begin with "d" or "D" (directories).
std::int32_t ftpGetDirList(std::int32_t session, std::vector<std::string>& lines);

// The stream timeout handed to every stream the client opens: 60, or what a
// test sets here to keep its waits short.
std::uint32_t ftpStreamTimeout();
void setFtpStreamTimeoutForTests(std::uint32_t timeout);

}  // namespace talven
