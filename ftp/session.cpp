#include <map>
#include <mutex>

#include "client.h"
#include "stream.h"

namespace talven {
namespace {

std::uint32_t gStreamTimeout = kStreamTimeout;

// Host names by session handle. Every connection number may become a session
// handle, so the table has room for all of them. Sessions of several threads
// share it and the table of lost sessions below: both are used only under
// gSessionHostsLock.
std::mutex gSessionHostsLock;
std::map<std::int32_t, std::string>& sessionHosts() {
    static std::map<std::int32_t, std::string> table;
    return table;
}

// The status of each lost session, by session handle.
std::map<std::int32_t, std::string>& lostSessions() {
    static std::map<std::int32_t, std::string> table;
    return table;
}

void forgetLostSession(std::int32_t session) {
    std::lock_guard<std::mutex> guard(gSessionHostsLock);
    lostSessions().erase(session);
}

// Closes the control stream; the handle names no session any more.
void endSession(std::int32_t session) {
    StreamClose(session);
    forgetLostSession(session);
}

// Sends USER and, when the server asks for it, PASS; returns the login reply.
std::string logIn(std::int32_t session, const std::string& user, const std::string& password) {
    StreamSendLine(session, "USER " + user);
    std::string reply = ftpReadReply(session);
    if (ftpReplyCode(reply) != 331) return reply;
    StreamSendLine(session, "PASS " + password);
    return ftpReadReply(session);
}

}  // namespace

bool safeCommandArgument(std::string_view argument) {
    return argument.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::uint32_t ftpStreamTimeout() { return gStreamTimeout; }
void setFtpStreamTimeoutForTests(std::uint32_t timeout) { gStreamTimeout = timeout; }

std::string sessionHost(std::int32_t session) {
    std::lock_guard<std::mutex> guard(gSessionHostsLock);
    auto found = sessionHosts().find(session);
    return found == sessionHosts().end() ? std::string() : found->second;
}

void ftpLoseSession(std::int32_t session, const std::string& status) {
    StreamClose(session);
    std::lock_guard<std::mutex> guard(gSessionHostsLock);
    lostSessions()[session] = status;
}

bool ftpSessionLost(std::int32_t session) {
    std::string status;
    {
        std::lock_guard<std::mutex> guard(gSessionHostsLock);
        auto found = lostSessions().find(session);
        if (found == lostSessions().end()) return false;
        status = found->second;
    }
    ftpRecordReply(status);
    return true;
}

std::int32_t ftpConnect(const std::string& host, const std::string& user, const std::string& password) {
    return ftpConnectToPort(host, kControlPort, user, password);
}

std::int32_t ftpConnectToPort(const std::string& host, std::uint16_t port, const std::string& user,
                              const std::string& password) {
    if (!safeCommandArgument(user) || !safeCommandArgument(password)) {
        ftpRecordBuiltStatus(kInvalidArgumentNumber, kInvalidArgumentText);
        return -1;
    }
    const std::int32_t session = StreamFreeNumber();
    errorNumber = 0;
    StreamOpen(session, host, port, gStreamTimeout);
    if (errorNumber != 0) {
        ftpRecordBuiltStatus(errorNumber, "Unable to open socket");
        return -1;
    }
    // The number may have named a session lost long ago.
    forgetLostSession(session);
    if (!ftpReadGreeting(session)) {
        endSession(session);
        return -1;
    }
    const std::string reply = logIn(session, user, password);
    ftpRecordReply(reply);
    if (ftpReplyCode(reply) != 230) {
        endSession(session);
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(gSessionHostsLock);
        sessionHosts()[session] = host;
    }
    return session;
}

void ftpQuit(std::int32_t session) {
    if (!ftpSessionLost(session)) {
        StreamSendLine(session, "QUIT");
        ftpRecordReply(ftpReadReply(session));
    }
    endSession(session);
}

}  // namespace talven
