#include "test_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testnet {

Handle listenLoopback(std::uint16_t& port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return kNone;
    }
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

Handle acceptWithin(Handle listener, int milliseconds) {
    if (!readableWithin(listener, milliseconds)) return kNone;
    int fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? kNone : fd;
}

Handle connectLoopback(std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return kNone;
    }
    return fd;
}

bool readableWithin(Handle socket, int milliseconds) {
    pollfd entry{static_cast<int>(socket), POLLIN, 0};
    int result;
    do result = poll(&entry, 1, milliseconds);
    while (result < 0 && errno == EINTR);
    return result > 0;
}

long receiveSome(Handle socket, char* buffer, std::size_t capacity) {
    return static_cast<long>(recv(static_cast<int>(socket), buffer, capacity, 0));
}

bool sendAll(Handle socket, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t sent = send(static_cast<int>(socket), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

void shutdownSending(Handle socket) { shutdown(static_cast<int>(socket), SHUT_WR); }

void resetOnClose(Handle socket) {
    linger abort{1, 0};
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

bool closeCanReset() { return true; }

void closeSocket(Handle socket) { close(static_cast<int>(socket)); }

void sendWithoutDelay(Handle socket) {
    int on = 1;
    setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void shrinkBuffers(Handle socket) {
    int size = 4096;
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

}  // namespace testnet
