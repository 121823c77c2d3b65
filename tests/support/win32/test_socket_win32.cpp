#include "test_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace testnet {
namespace {
struct Library {
    Library() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};
void ensureStarted() { static Library library; }
SOCKET raw(Handle socket) { return static_cast<SOCKET>(socket); }
}  // namespace

namespace {

// The socket address of a numeric address and port.
SOCKADDR_STORAGE socketAddress(const char* address, std::uint16_t port, int& size) {
    ensureStarted();
    SOCKADDR_STORAGE storage{};
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    size = 0;
    if (getaddrinfo(address, nullptr, &hints, &found) != 0) return storage;
    std::memcpy(&storage, found->ai_addr, found->ai_addrlen);
    size = static_cast<int>(found->ai_addrlen);
    freeaddrinfo(found);
    if (storage.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(port);
    else reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(port);
    return storage;
}

std::uint16_t portOf(const SOCKADDR_STORAGE& storage) {
    return ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(storage).sin6_port
                                                : reinterpret_cast<const sockaddr_in&>(storage).sin_port);
}

}  // namespace

Handle listenLoopback(std::uint16_t& port, const char* address, int backlog) {
    int size = 0;
    SOCKADDR_STORAGE storage = socketAddress(address, port, size);
    SOCKET fd = socket(storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (size == 0 || bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0 || listen(fd, backlog) != 0) {
        closesocket(fd);
        return kNone;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size);
    port = portOf(storage);
    return static_cast<Handle>(fd);
}

Handle acceptWithin(Handle listener, int milliseconds) {
    if (!readableWithin(listener, milliseconds)) return kNone;
    SOCKET fd = accept(raw(listener), nullptr, nullptr);
    return fd == INVALID_SOCKET ? kNone : static_cast<Handle>(fd);
}

Handle connectLoopback(std::uint16_t port, const char* address) {
    int size = 0;
    SOCKADDR_STORAGE storage = socketAddress(address, port, size);
    SOCKET fd = socket(storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (size == 0 || connect(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0) {
        closesocket(fd);
        return kNone;
    }
    return static_cast<Handle>(fd);
}

bool readableWithin(Handle socket, int milliseconds) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(raw(socket), &set);
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &limit) > 0;
}

long receiveSome(Handle socket, char* buffer, std::size_t capacity) {
    return recv(raw(socket), buffer, static_cast<int>(capacity), 0);
}

bool sendAll(Handle socket, std::string_view bytes) {
    while (!bytes.empty()) {
        int sent = send(raw(socket), bytes.data(), static_cast<int>(bytes.size()), 0);
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

void shutdownSending(Handle socket) { shutdown(raw(socket), SD_SEND); }

void resetOnClose(Handle socket) {
    linger abort{1, 0};
    setsockopt(raw(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
}

bool closeCanReset() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr; }

void closeSocket(Handle socket) { closesocket(raw(socket)); }

void sendWithoutDelay(Handle socket) {
    BOOL on = TRUE;
    setsockopt(raw(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void shrinkBuffers(Handle socket) {
    int size = 4096;
    setsockopt(raw(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    setsockopt(raw(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
}

}  // namespace testnet
