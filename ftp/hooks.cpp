#include "hooks.h"

#include <array>
#include <atomic>

#include "stream.h"

namespace talven {
namespace {

// One record per connection number; a session's is used by the thread that
// works on the session, and taken over by whichever thread opens the number
// next. Atomic, so that the hand-over needs no lock.
struct SessionHooks {
    std::atomic<bool> open{false};
    std::atomic<std::uint32_t> waitMilliseconds{0};  // 0: the built-in wait
    std::atomic<FtpTraceCallback> trace{nullptr};
    std::atomic<FtpProgressCallback> progress{nullptr};
};

std::array<SessionHooks, kHighestConnectionNumber + 1> gHooks;

// What the calling thread's next sessions start with: a wait in
// milliseconds (0: the built-in one) and a trace callback.
os::ThreadWord gDefaultWaitMilliseconds;
os::ThreadWord gDefaultTrace;

std::uint32_t defaultWaitMilliseconds() { return static_cast<std::uint32_t>(gDefaultWaitMilliseconds.get()); }
FtpTraceCallback defaultTrace() { return reinterpret_cast<FtpTraceCallback>(gDefaultTrace.get()); }

std::atomic<std::chrono::milliseconds::rep> gProgressInterval{100};

SessionHooks* hooksOf(std::int32_t session) {
    return detail::validConnectionNumber(session) ? &gHooks[static_cast<std::size_t>(session)] : nullptr;
}

// The record of an open session, or null with the reason recorded.
SessionHooks* openSessionHooks(std::int32_t session) {
    if (ftpSessionLost(session)) return nullptr;
    SessionHooks* hooks = hooksOf(session);
    if (hooks != nullptr && hooks->open.load(std::memory_order_relaxed)) return hooks;
    ftpRecordBuiltStatus(kNotConnected.number, kNotConnected.text);
    return nullptr;
}

// 0 stands for the built-in wait.
bool waitInRange(std::int32_t milliseconds) {
    if (milliseconds == 0 || (milliseconds >= static_cast<std::int32_t>(kShortestWaitMilliseconds) &&
                              milliseconds <= static_cast<std::int32_t>(kLongestWaitMilliseconds)))
        return true;
    ftpRecordBuiltStatus(kWaitOutOfRange.number, kWaitOutOfRange.text);
    return false;
}

os::WaitTime waitOf(std::uint32_t milliseconds) {
    if (milliseconds == 0) return streamWaitTime(ftpStreamTimeout());
    return os::WaitTime{milliseconds / 1000, milliseconds % 1000 * 1000};
}

}  // namespace

void hooksOpenSession(std::int32_t session) {
    SessionHooks* hooks = hooksOf(session);
    if (hooks == nullptr) return;
    hooks->waitMilliseconds.store(defaultWaitMilliseconds(), std::memory_order_relaxed);
    hooks->trace.store(defaultTrace(), std::memory_order_relaxed);
    hooks->progress.store(nullptr, std::memory_order_relaxed);
    hooks->open.store(true, std::memory_order_release);
}

void hooksEndSession(std::int32_t session) {
    SessionHooks* hooks = hooksOf(session);
    if (hooks == nullptr) return;
    hooks->open.store(false, std::memory_order_relaxed);
    hooks->trace.store(nullptr, std::memory_order_relaxed);
    hooks->progress.store(nullptr, std::memory_order_relaxed);
    hooks->waitMilliseconds.store(0, std::memory_order_relaxed);
}

os::WaitTime sessionWait(std::int32_t session) {
    const SessionHooks* hooks = hooksOf(session);
    return waitOf(hooks == nullptr ? 0 : hooks->waitMilliseconds.load(std::memory_order_relaxed));
}

os::WaitTime threadDefaultWait() { return waitOf(defaultWaitMilliseconds()); }

bool ftpSetSessionWait(std::int32_t session, std::int32_t milliseconds) {
    SessionHooks* hooks = openSessionHooks(session);
    if (hooks == nullptr || !waitInRange(milliseconds)) return false;
    hooks->waitMilliseconds.store(static_cast<std::uint32_t>(milliseconds), std::memory_order_relaxed);
    StreamSetWait(session, sessionWait(session));
    return true;
}

bool ftpSetThreadDefaultWait(std::int32_t milliseconds) {
    if (!waitInRange(milliseconds)) return false;
    gDefaultWaitMilliseconds.set(static_cast<std::intptr_t>(milliseconds));
    return true;
}

bool ftpSetSessionTrace(std::int32_t session, FtpTraceCallback trace) {
    SessionHooks* hooks = openSessionHooks(session);
    if (hooks == nullptr) return false;
    hooks->trace.store(trace, std::memory_order_relaxed);
    return true;
}

void ftpSetThreadDefaultTrace(FtpTraceCallback trace) { gDefaultTrace.set(reinterpret_cast<std::intptr_t>(trace)); }

bool ftpSetSessionProgress(std::int32_t session, FtpProgressCallback progress) {
    SessionHooks* hooks = openSessionHooks(session);
    if (hooks == nullptr) return false;
    hooks->progress.store(progress, std::memory_order_relaxed);
    return true;
}

void ftpTrace(std::int32_t session, std::int32_t direction, std::string_view line) {
    const SessionHooks* hooks = hooksOf(session);
    if (hooks == nullptr) return;
    if (FtpTraceCallback trace = hooks->trace.load(std::memory_order_relaxed))
        trace(session, direction, line.data(), static_cast<std::int32_t>(line.size()));
}

bool ftpTracing(std::int32_t session) {
    const SessionHooks* hooks = hooksOf(session);
    return hooks != nullptr && hooks->trace.load(std::memory_order_relaxed) != nullptr;
}

void ftpSendCommand(std::int32_t session, std::string_view command, std::string_view shown) {
    ftpTrace(session, FTP_TRACE_SENT, shown.empty() ? command : shown);
    StreamSendLine(session, command);
}

ProgressReport::ProgressReport(std::int32_t session)
    : session_(session),
      callback_(hooksOf(session) == nullptr ? nullptr : hooksOf(session)->progress.load(std::memory_order_relaxed)),
      total_(-1.0),
      due_(std::chrono::milliseconds(gProgressInterval.load(std::memory_order_relaxed))) {
    // The first report comes an interval after the start, not at once.
    if (callback_ != nullptr) due_.due();
}

bool ProgressReport::reportIfDue(std::int64_t done) { return !due_.due() || report(done); }

bool ProgressReport::report(std::int64_t done) { return callback_(session_, static_cast<double>(done), total_) == 0; }

std::int32_t ftpCancelTransfer(std::int32_t session, std::int32_t data) {
    StreamAbort(data);
    ftpReadBrokenTransferReplyBefore(session, StreamDeadlineFromNow(session));
    ftpRecordBuiltStatus(kTransferCancelled.number, kTransferCancelled.text);
    return 0;
}

void setProgressIntervalForTests(std::chrono::milliseconds interval) {
    gProgressInterval.store(interval.count(), std::memory_order_relaxed);
}

}  // namespace talven
