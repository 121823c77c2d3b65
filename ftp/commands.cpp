#include "client.h"
#include "stream.h"

namespace talven {
namespace {

// A name is refused before anything is sent when it would end the command
// line early.
bool refuseUnsafe(std::string_view name) {
    if (safeCommandArgument(name)) return false;
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
    StreamSendLine(session, command);
    std::string reply = ftpReadReply(session);
    ftpRecordReply(reply);
    return reply;
}

std::int32_t ftpDeleteFile(std::int32_t session, const std::string& name) {
    if (refuseUnsafe(name)) return 0;
    return commandSucceeds(session, "DELE " + name, 250);
}

std::int32_t FTPMAKEDIR(std::int32_t session, const std::string& name) {
    if (refuseUnsafe(name)) return 0;
    return commandSucceeds(session, "MKD " + name, 257);
}

std::int32_t FTPREMOVEDIR(std::int32_t session, const std::string& name) {
    if (refuseUnsafe(name)) return 0;
    return commandSucceeds(session, "RMD " + name, 250);
}

std::int32_t FTPMOVEORRENAME(std::int32_t session, const std::string& oldName, const std::string& newName) {
    if (refuseUnsafe(oldName) || refuseUnsafe(newName)) return 0;
    if (!commandSucceeds(session, "RNFR " + oldName, 350)) return 0;
    return commandSucceeds(session, "RNTO " + newName, 250);
}

void ftpSetAscii(std::int32_t session) { ftpExchange(session, "TYPE A"); }

void ftpSetBinary(std::int32_t session) { ftpExchange(session, "TYPE I"); }

// The name is what stands between the first two double quotes of a 257
// reply; a doubled quote inside the name ends it there.
std::string ftpCurDir(std::int32_t session) {
    const std::string reply = ftpExchange(session, "PWD");
    if (ftpReplyCode(reply) != 257) return std::string();
    const std::size_t open = reply.find('"');
    if (open == std::string::npos) return std::string();
    const std::size_t close = reply.find('"', open + 1);
    return reply.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
}

std::int32_t ftpChangeDir(std::int32_t session, const std::string& name) {
    if (refuseUnsafe(name)) return 0;
    return commandSucceeds(session, "CWD " + std::string(withoutBlanksAtEnds(name)), 250);
}

}  // namespace talven
