#include <map>
#include <mutex>

#include "client.h"
#include "stream.h"

namespace talven {
namespace {

std::uint32_t gStreamTimeout = kStreamTimeout;

// Host names by session handle. Every connection number may become a session
// handle, so the table has room for all of them. Sessions of several threads
// share it: it is used only under gSessionHostsLock.
std::mutex gSessionHostsLock;
std::map<std::int32_t, std::string>& sessionHosts() {
    static std::map<std::int32_t, std::string> table;
    return table;
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
    if (!ftpReadGreeting(session)) {
        StreamClose(session);
        return -1;
    }
    const std::string reply = logIn(session, user, password);
    ftpRecordReply(reply);
    if (ftpReplyCode(reply) != 230) {
        StreamClose(session);
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(gSessionHostsLock);
        sessionHosts()[session] = host;
    }
    return session;
}

void ftpQuit(std::int32_t session) {
    StreamSendLine(session, "QUIT");
    ftpRecordReply(ftpReadReply(session));
    StreamClose(session);
}

}  // namespace talven
