#include "client.h"
#include "hooks.h"
#include "stream.h"

namespace talven {
namespace {

// Nothing is sent on a lost session, nor with a name that would end the
// command line early.
bool refused(std::int32_t session, std::string_view name, std::string_view otherName = {}) {
    if (ftpSessionLost(session)) return true;
    if (safeCommandArgument(name) && safeCommandArgument(otherName)) return false;
    ftpRecordBuiltStatus(kInvalidArgumentNumber, kInvalidArgumentText);
    return true;
}

std::int32_t commandSucceeds(std::int32_t session, const std::string& command, std::int32_t successCode) {
    return ftpReplyCode(ftpExchange(session, command)) == successCode ? 1 : 0;
}

std::string_view withoutBlanksAtEnds(std::string_view name) {
    std::size_t first = name.find_first_not_of(' ');
    if (first == std::string_view::npos) return std::string_view();
    return name.substr(first, name.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string ftpExchange(std::int32_t session, const std::string& command) {
    // The status just recorded again is the lost session's, built by us.
    if (ftpSessionLost(session)) return builtStatusLine(ftpLastReplyCode(), ftpLastReplyText());
    ftpSendCommand(session, command);
    std::string reply = ftpReadReply(session);
    ftpRecordReply(reply);
    return reply;
}

std::int32_t ftpDeleteFile(std::int32_t session, const std::string& name) {
    if (refused(session, name)) return 0;
    return commandSucceeds(session, "DELE " + name, 250);
}

std::int32_t FTPMAKEDIR(std::int32_t session, const std::string& name) {
    if (refused(session, name)) return 0;
    return commandSucceeds(session, "MKD " + name, 257);
}

std::int32_t FTPREMOVEDIR(std::int32_t session, const std::string& name) {
    if (refused(session, name)) return 0;
    return commandSucceeds(session, "RMD " + name, 250);
}

std::int32_t FTPMOVEORRENAME(std::int32_t session, const std::string& oldName, const std::string& newName) {
    if (refused(session, oldName, newName)) return 0;
    if (!commandSucceeds(session, "RNFR " + oldName, 350)) return 0;
    return commandSucceeds(session, "RNTO " + newName, 250);
}

void ftpSetAscii(std::int32_t session) { ftpExchange(session, "TYPE A"); }

void ftpSetBinary(std::int32_t session) { ftpExchange(session, "TYPE I"); }

// The name stands after the first double quote of a 257 reply, up to the
// next one that is not doubled (or the end of the line); a double quote
// inside the name is written twice.
std::string ftpCurDir(std::int32_t session) {
    const std::string reply = ftpExchange(session, "PWD");
    if (ftpReplyCode(reply) != 257) return std::string();
    std::size_t at = reply.find('"');
    if (at == std::string::npos) return std::string();
    std::string name;
    for (++at; at < reply.size(); ++at) {
        if (reply[at] == '"' && (at + 1 == reply.size() || reply[at + 1] != '"')) break;
        if (reply[at] == '"') ++at;
        name += reply[at];
    }
    return name;
}

std::int32_t ftpChangeDir(std::int32_t session, const std::string& name) {
    if (refused(session, name)) return 0;
    return commandSucceeds(session, "CWD " + std::string(withoutBlanksAtEnds(name)), 250);
}

}  // namespace talven
