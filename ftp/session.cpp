#include <cctype>
#include <map>
#include <set>
#include <mutex>  // std::lock_guard only

#include "client.h"
#include "hooks.h"
#include "stream.h"

namespace talven {
namespace {

std::uint32_t gStreamTimeout = kStreamTimeout;

// Host names by session handle. Every connection number may become a session
// handle, so the table has room for all of them. Sessions of several threads
// share it and the tables of lost sessions and EPSV refusals below: all are
// used only under gSessionHostsLock.
os::Lock gSessionHostsLock;
// Made as the image loads: a local static's guard would bring a threads
// run-time into the Windows images (see os::Lock).
std::map<std::int32_t, std::string> gSessionHosts;
std::map<std::int32_t, std::string>& sessionHosts() { return gSessionHosts; }

// The status of each lost session, by session handle.
std::map<std::int32_t, std::string> gLostSessions;
std::map<std::int32_t, std::string>& lostSessions() { return gLostSessions; }

// The sessions whose server refused EPSV.
std::set<std::int32_t> gEpsvRefusals;
std::set<std::int32_t>& epsvRefusals() { return gEpsvRefusals; }

// What was kept about the session behind a handle, which a later session
// may take over; the host entry goes with it, so that a program that
// connects and quits again and again does not grow.
void forgetSessionState(std::int32_t session) {
    std::lock_guard<os::Lock> guard(gSessionHostsLock);
    sessionHosts().erase(session);
    lostSessions().erase(session);
    epsvRefusals().erase(session);
}

// Closes the control stream; the handle names no session any more.
void endSession(std::int32_t session) {
    StreamClose(session);
    forgetSessionState(session);
    hooksEndSession(session);
}

// Sends USER and, when the server asks for it, PASS; returns the login reply.
std::string logIn(std::int32_t session, const std::string& user, const std::string& password) {
    ftpSendCommand(session, "USER " + user);
    std::string reply = ftpReadReply(session);
    if (ftpReplyCode(reply) != 331) return reply;
    ftpSendCommand(session, "PASS " + password, "PASS ****");
    return ftpReadReply(session);
}

// Opens the control stream and reads the greeting; the stream number, or -1
// with the reason recorded.
std::int32_t openControl(const std::string& host, std::uint16_t port) {
    const std::int32_t session = StreamFreeNumber();
    errorNumber = 0;
    StreamOpenWithin(session, host, port, threadDefaultWait());
    if (errorNumber != 0) {
        ftpRecordBuiltStatus(errorNumber, "Unable to open socket");
        return -1;
    }
    // The number may have named a session lost long ago.
    forgetSessionState(session);
    hooksOpenSession(session);
    if (!ftpReadGreeting(session)) {
        endSession(session);
        return -1;
    }
    return session;
}

void registerSession(std::int32_t session, const std::string& host) {
    std::lock_guard<os::Lock> guard(gSessionHostsLock);
    sessionHosts()[session] = host;
}

// The fingerprint as the platform compares it: hex digits in lower case,
// without the colons that tools print between bytes.
std::string normalPin(const std::string& pin) {
    std::string digits;
    for (char c : pin)
        if (c != ':') digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return digits;
}

// AUTH TLS and the handshake, with the certificate checked; false with the
// server's refusal or the TLS failure recorded.
bool secureControl(std::int32_t session, const std::string& host, const std::string& pin) {
    ftpSendCommand(session, "AUTH TLS");
    const std::string reply = ftpReadReply(session);
    if (ftpReplyCode(reply) != 234) {
        ftpRecordReply(reply);
        return false;
    }
    errorNumber = 0;
    StreamStartTLS(session, host, normalPin(pin));
    if (errorNumber == 0) {
        if (ftpTracing(session)) ftpTrace(session, FTP_TRACE_NOTE, "TLS established, " + StreamTLSProtocol(session));
        return true;
    }
    ftpRecordTlsFailure(errorNumber);
    return false;
}

// PBSZ 0 and PROT P: every data connection of the session is encrypted.
bool protectData(std::int32_t session) {
    for (const char* command : {"PBSZ 0", "PROT P"}) {
        const std::string reply = ftpExchange(session, command);
        if (ftpReplyCode(reply) != 200) return false;
    }
    return true;
}

// False, with the reason recorded, for arguments that no session can be
// opened with; nothing is then looked up or sent.
bool usableConnectArguments(const std::string& host, const std::string& user, const std::string& password) {
    if (host.size() > kLongestHostName) {
        ftpRecordBuiltStatus(kHostNameTooLong.number, kHostNameTooLong.text);
        return false;
    }
    if (!safeCommandArgument(user) || !safeCommandArgument(password)) {
        ftpRecordBuiltStatus(kInvalidArgumentNumber, kInvalidArgumentText);
        return false;
    }
    return true;
}

}  // namespace

void ftpRecordTlsFailure(std::int32_t error) {
    switch (error) {
        case kTlsUntrusted: ftpRecordBuiltStatus(error, "Server Certificate Not Trusted"); return;
        case kTlsNameMismatch: ftpRecordBuiltStatus(error, "Server Name Mismatch"); return;
        case kTlsPinMismatch: ftpRecordBuiltStatus(error, "Server Fingerprint Mismatch"); return;
        case kTlsUnavailable: ftpRecordBuiltStatus(error, "TLS Not Available"); return;
        case kTlsClearBytes: ftpRecordBuiltStatus(error, kClearBytesText); return;
        default: ftpRecordBuiltStatus(kTlsHandshakeFailed, "TLS Handshake Failed"); return;
    }
}

bool safeCommandArgument(std::string_view argument) {
    return argument.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::uint32_t ftpStreamTimeout() { return gStreamTimeout; }
void setFtpStreamTimeoutForTests(std::uint32_t timeout) { gStreamTimeout = timeout; }

std::string sessionHost(std::int32_t session) {
    std::lock_guard<os::Lock> guard(gSessionHostsLock);
    auto found = sessionHosts().find(session);
    return found == sessionHosts().end() ? std::string() : found->second;
}

bool ftpEpsvRefused(std::int32_t session) {
    std::lock_guard<os::Lock> guard(gSessionHostsLock);
    return epsvRefusals().count(session) != 0;
}

void ftpNoteEpsvRefused(std::int32_t session) {
    std::lock_guard<os::Lock> guard(gSessionHostsLock);
    epsvRefusals().insert(session);
}

void ftpLoseSession(std::int32_t session, const std::string& status) {
    if (ftpTracing(session)) ftpTrace(session, FTP_TRACE_NOTE, "Session lost: " + status);
    StreamClose(session);
    std::lock_guard<os::Lock> guard(gSessionHostsLock);
    lostSessions()[session] = status;
}

bool ftpSessionLost(std::int32_t session) {
    std::string status;
    {
        std::lock_guard<os::Lock> guard(gSessionHostsLock);
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
    if (!usableConnectArguments(host, user, password)) return -1;
    const std::int32_t session = openControl(host, port);
    if (session == -1) return -1;
    const std::string reply = logIn(session, user, password);
    ftpRecordReply(reply);
    if (ftpReplyCode(reply) != 230) {
        endSession(session);
        return -1;
    }
    registerSession(session, host);
    return session;
}

std::int32_t ftpConnectTLS(const std::string& host, const std::string& user, const std::string& password,
                           const std::string& pin) {
    return ftpConnectTLSToPort(host, kControlPort, user, password, pin);
}

std::int32_t ftpConnectTLSToPort(const std::string& host, std::uint16_t port, const std::string& user,
                                 const std::string& password, const std::string& pin) {
    if (!usableConnectArguments(host, user, password)) return -1;
    if (!StreamTLSAvailable()) {
        ftpRecordTlsFailure(kTlsUnavailable);
        return -1;
    }
    const std::int32_t session = openControl(host, port);
    if (session == -1) return -1;
    if (!secureControl(session, host, pin)) {
        endSession(session);
        return -1;
    }
    const std::string login = logIn(session, user, password);
    if (ftpReplyCode(login) != 230) {
        ftpRecordReply(login);
        endSession(session);
        return -1;
    }
    // Only now, with the login replies read, has a TLS 1.3 server sent the
    // session that data connections can resume.
    StreamKeepTLSSession(session);
    if (!protectData(session)) {
        endSession(session);
        return -1;
    }
    ftpRecordReply(login);
    registerSession(session, host);
    return session;
}

void ftpQuit(std::int32_t session) {
    if (!ftpSessionLost(session)) {
        ftpSendCommand(session, "QUIT");
        ftpRecordReply(ftpReadReply(session));
        StreamCloseNotify(session);
    }
    endSession(session);
}

}  // namespace talven
