// A stream open on a loopback connection whose peer sends given bytes and
// then closes its side: what a fuzz target reads through the stream layer.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "open_list.h"
#include "stream.h"
#include "test_socket.h"

namespace fuzzing {

inline void require(bool condition) {
    if (!condition) std::abort();
}

class LoopbackPeer {
public:
    // timeout is the stream's: 1024 waits one second, longer than the peer
    // ever takes, since it sends at once.
    explicit LoopbackPeer(std::string_view bytes, std::uint32_t timeout = 1024) : number_(talven::StreamFreeNumber()) {
        std::uint16_t port = 0;
        const testnet::Handle listening = listener(port);
        talven::errorNumber = 0;
        talven::StreamOpen(number_, "127.0.0.1", port, timeout);
        require(talven::errorNumber == 0);
        peer_ = testnet::acceptWithin(listening, 5000);
        require(peer_ != testnet::kNone);
        sender_ = std::thread([this, bytes] {
            testnet::sendAll(peer_, bytes);
            testnet::shutdownSending(peer_);
        });
    }
    // Closing the stream first ends a send that the reader left unread.
    ~LoopbackPeer() {
        talven::StreamClose(number_);
        sender_.join();
        testnet::closeSocket(peer_);
        require(talven::openConnectionNumbers().empty());
    }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    std::int32_t number() const { return number_; }

private:
    // One listener for the whole run.
    static testnet::Handle listener(std::uint16_t& port) {
        static std::uint16_t listeningPort = 0;
        static const testnet::Handle socket = testnet::listenLoopback(listeningPort);
        port = listeningPort;
        return socket;
    }

    std::int32_t number_;
    testnet::Handle peer_ = testnet::kNone;
    std::thread sender_;
};

}  // namespace fuzzing
