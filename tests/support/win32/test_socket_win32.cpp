#include "test_socket.h"

#include <winsock2.h>

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

Handle listenLoopback(std::uint16_t& port, int backlog) {
    ensureStarted();
    SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0) {
        closesocket(fd);
        return kNone;
    }
    int size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return static_cast<Handle>(fd);
}

Handle acceptWithin(Handle listener, int milliseconds) {
    if (!readableWithin(listener, milliseconds)) return kNone;
    SOCKET fd = accept(raw(listener), nullptr, nullptr);
    return fd == INVALID_SOCKET ? kNone : static_cast<Handle>(fd);
}

Handle connectLoopback(std::uint16_t port) {
    ensureStarted();
    SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
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
