// What a program that embeds the client sets for each session: the wait of
// its connections, a trace of its control connection, and a progress
// callback that may cancel a transfer. The settings live in one record per
// connection number, set up as a session opens (from the calling thread's
// defaults) and cleared as it ends. Everything here runs on the thread that
// uses the session; the callbacks are called on it too.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "client.h"
#include "os.h"
#include "progress.h"
#include "talvenftp.h"

namespace talven {

inline constexpr std::uint32_t kShortestWaitMilliseconds = 100;
inline constexpr std::uint32_t kLongestWaitMilliseconds = 3600000;
inline constexpr BuiltStatus kWaitOutOfRange{8, "Wait Out Of Range"};
inline constexpr BuiltStatus kTransferCancelled{18, "Transfer Cancelled"};

// A new session's record takes the calling thread's defaults.
void hooksOpenSession(std::int32_t session);
void hooksEndSession(std::int32_t session);
// The wait of the session's connections: its own, or the built-in one.
os::WaitTime sessionWait(std::int32_t session);
// The wait the calling thread's next session starts with.
os::WaitTime threadDefaultWait();

// Each false with a built status recorded (094 for a handle that names no
// open session, 008 for a wait out of range, a lost session's own status).
bool ftpSetSessionWait(std::int32_t session, std::int32_t milliseconds);
bool ftpSetThreadDefaultWait(std::int32_t milliseconds);
bool ftpSetSessionTrace(std::int32_t session, FtpTraceCallback trace);
void ftpSetThreadDefaultTrace(FtpTraceCallback trace);
bool ftpSetSessionProgress(std::int32_t session, FtpProgressCallback progress);

// Hands the line to the session's trace callback, if it has one.
void ftpTrace(std::int32_t session, std::int32_t direction, std::string_view line);
// Whether the session has a trace callback: a note is put together only then.
bool ftpTracing(std::int32_t session);
// Traces the command (shown in its place when given, to hide a password)
// and sends it on the control connection.
void ftpSendCommand(std::int32_t session, std::string_view command, std::string_view shown = {});

// A transfer's progress for the session's callback: at most once per
// interval while it runs, and once at its end. Either returns false once
// the callback has asked to cancel. Costs nothing without a callback.
class ProgressReport {
public:
    explicit ProgressReport(std::int32_t session);
    bool active() const { return callback_ != nullptr; }
    // The bytes in all, once known; -1 while not.
    void setTotal(std::int64_t total) { total_ = total < 0 ? -1.0 : static_cast<double>(total); }
    bool update(std::int64_t done) { return callback_ == nullptr || reportIfDue(done); }
    bool finish(std::int64_t done) { return callback_ == nullptr || report(done); }

private:
    bool reportIfDue(std::int64_t done);
    bool report(std::int64_t done);

    std::int32_t session_;
    FtpProgressCallback callback_;
    double total_;
    IntervalCheck due_;
};

// Ends a transfer that the callback cancelled: the data connection is
// broken off, the server's reply to the broken transfer read (it belongs to
// the transfer, not to the next command) and 018 recorded. Returns 0.
std::int32_t ftpCancelTransfer(std::int32_t session, std::int32_t data);

// Lets tests see every chunk's progress (an interval of 0).
void setProgressIntervalForTests(std::chrono::milliseconds interval);

}  // namespace talven
