// Any bytes as what a server sends on the control connection: the greeting
// and then whole replies are read until the server has nothing more. Each
// reply comes back as one line within the line capacity, never holding a
// line break; every call ends; nothing is left open.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client.h"
#include "loopback_peer.h"

using fuzzing::require;

namespace {

void requireOneLine(const std::string& line) {
    require(line.size() <= talven::kLineCapacity);
    require(line.find_first_of("\r\n") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    fuzzing::LoopbackPeer peer(bytes);
    talven::ftpRecordReply("999 before");
    if (!talven::ftpReadGreeting(peer.number())) {
        requireOneLine(talven::ftpLastReplyText());
        require(talven::ftpLastReplyCode() != 220);
        return 0;
    }
    require(talven::ftpLastReplyCode() == 999);
    // Every reply takes at least one byte, so this ends with the bytes.
    for (std::size_t replies = 0; !talven::StreamEnded(peer.number()); ++replies) {
        require(replies <= size + 1);
        const std::string reply = talven::ftpReadReply(peer.number());
        requireOneLine(reply);
    }
    return 0;
}
