// The BSD socket calls as Winsock 2 declares them, for the code that both
// platforms share (platform/bsd_sockets.cpp).
#ifndef TALVEN_BSD_SOCKETS_NATIVE_H
#define TALVEN_BSD_SOCKETS_NATIVE_H

#include <winsock2.h>
#include <ws2tcpip.h>

namespace os {
using NativeSocket = SOCKET;
using AddressLength = int;
}  // namespace os

#endif
