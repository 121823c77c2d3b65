// Host lookup and peer addresses: the same BSD socket calls on every
// platform, with only the headers and the handle's type differing.
#include "bsd_sockets_native.h"
#include "os.h"

#include <cstring>

namespace os {

std::vector<Address> resolveHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    std::vector<Address> addresses;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        Address address;
        if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6) || entry->ai_addrlen > address.bytes.size())
            continue;
        std::memcpy(address.bytes.data(), entry->ai_addr, entry->ai_addrlen);
        address.size = static_cast<std::uint32_t>(entry->ai_addrlen);
        addresses.push_back(address);
    }
    freeaddrinfo(found);
    return addresses;
}

std::string peerAddressText(Socket socket) {
    sockaddr_storage peer{};
    AddressLength size = sizeof peer;
    char text[NI_MAXHOST];
    if (getpeername(static_cast<NativeSocket>(socket), reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&peer), size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
        return std::string();
    return text;
}

}  // namespace os
