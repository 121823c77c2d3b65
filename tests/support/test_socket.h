// Plain loopback sockets for the test peers, one implementation per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace testnet {

using Handle = std::intptr_t;
inline constexpr Handle kNone = -1;

// A listening socket on the numeric loopback address ("127.0.0.1", "::1",
// "127.0.0.2") at port (0 picks a free one, stored back), taking at most
// backlog connections that wait to be accepted. With backlog 0 the system
// queues one connection that is not accepted, and drops the handshakes of
// further ones: their connects hang.
Handle listenLoopback(std::uint16_t& port, const char* address = "127.0.0.1", int backlog = 16);
// The next connection, or kNone when none came within milliseconds.
Handle acceptWithin(Handle listener, int milliseconds);
Handle connectLoopback(std::uint16_t port, const char* address = "127.0.0.1");
// True when the socket became readable within milliseconds.
bool readableWithin(Handle socket, int milliseconds);
// Bytes received (0 at the peer's close), or -1.
long receiveSome(Handle socket, char* buffer, std::size_t capacity);
bool sendAll(Handle socket, std::string_view bytes);
// Ends the sending side only: the peer reads the end of the stream.
void shutdownSending(Handle socket);
// Makes the next close reset the connection instead of ending it in order.
void resetOnClose(Handle socket);
// False where closing always ends a connection in order, whatever its
// linger option (Wine shuts every socket down before it closes it).
bool closeCanReset();
void closeSocket(Handle socket);
// Sends every piece handed to the system as a segment of its own, without
// waiting to coalesce small ones.
void sendWithoutDelay(Handle socket);
// Shrinks the kernel buffers so that a peer that never reads blocks sends soon.
void shrinkBuffers(Handle socket);

}  // namespace testnet
