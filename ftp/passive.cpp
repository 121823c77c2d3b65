#include "client.h"
#include "number_text.h"
#include "stream.h"

namespace talven {
namespace {

// The n-th piece (from 0) of text split at every separator; empty when there
// are fewer pieces.
std::string_view piece(std::string_view text, std::string_view separators, std::size_t n) {
    for (; n > 0; --n) {
        std::size_t cut = text.find_first_of(separators);
        if (cut == std::string_view::npos) return std::string_view();
        text.remove_prefix(cut + 1);
    }
    return text.substr(0, text.find_first_of(separators));
}

}  // namespace

std::string parenthesisedText(std::string_view line) { return std::string(piece(line, "()", 1)); }

std::int32_t ftpOpenDataChannel(std::int32_t session, const std::string& host) {
    StreamSendLine(session, "PASV");
    const std::string reply = ftpReadReply(session);
    std::int32_t data = -1;
    if (ftpReplyCode(reply) == 227) data = ftpParsePasv(host, parenthesisedText(reply));
    ftpRecordReply(reply);
    return data;
}

// The four address numbers are not used: the data connection goes to the
// host the session was opened with, whatever address the server names.
std::int32_t ftpParsePasv(const std::string& host, std::string addressText) {
    const std::uint8_t high = readLeadingNumber(piece(addressText, ",", 4)).floorLowByte();
    const std::uint8_t low = readLeadingNumber(piece(addressText, ",", 5)).floorLowByte();
    errorNumber = 0;
    const std::int32_t data = StreamFreeNumber();
    StreamOpen(data, host, static_cast<std::uint16_t>(high * 256 + low), ftpStreamTimeout());
    return errorNumber != 0 ? -1 : data;
}

std::int32_t ftpReceiveChunk(std::int32_t data, std::string& chunk) {
    chunk.resize(kChunkSize);
    chunk.resize(StreamReceive(data, chunk.data(), static_cast<std::int32_t>(kChunkSize)));
    return static_cast<std::int32_t>(chunk.size());
}

bool ftpTransferMayStart(std::string_view reply) {
    const std::int32_t code = ftpReplyCode(reply);
    return code == 150 || code == 125;
}

std::int32_t ftpSendChunk(std::int32_t data, std::string_view bytes) {
    errorNumber = 0;
    StreamSend(data, bytes);
    return errorNumber == 0 ? 1 : 0;
}

}  // namespace talven
