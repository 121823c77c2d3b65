#include "test_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testnet {

namespace {

// The socket address of a numeric address and port.
sockaddr_storage socketAddress(const char* address, std::uint16_t port, socklen_t& size) {
    sockaddr_storage storage{};
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    size = 0;
    if (getaddrinfo(address, nullptr, &hints, &found) != 0) return storage;
    std::memcpy(&storage, found->ai_addr, found->ai_addrlen);
    size = found->ai_addrlen;
    freeaddrinfo(found);
    if (storage.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(port);
    else reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(port);
    return storage;
}

std::uint16_t portOf(const sockaddr_storage& storage) {
    return ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(storage).sin6_port
                                                : reinterpret_cast<const sockaddr_in&>(storage).sin_port);
}

}  // namespace

Handle listenLoopback(std::uint16_t& port, const char* address, int backlog) {
    socklen_t size = 0;
    sockaddr_storage storage = socketAddress(address, port, size);
    int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (size == 0 || bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return kNone;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size);
    port = portOf(storage);
    return fd;
}

Handle acceptWithin(Handle listener, int milliseconds) {
    if (!readableWithin(listener, milliseconds)) return kNone;
    int fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? kNone : fd;
}

Handle connectLoopback(std::uint16_t port, const char* address) {
    socklen_t size = 0;
    sockaddr_storage storage = socketAddress(address, port, size);
    int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (size == 0 || connect(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0) {
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
