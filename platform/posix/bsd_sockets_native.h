// The BSD socket calls as POSIX declares them, for the code that both
// platforms share (platform/bsd_sockets.cpp).
#ifndef TALVEN_BSD_SOCKETS_NATIVE_H
#define TALVEN_BSD_SOCKETS_NATIVE_H

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace os {
using NativeSocket = int;
using AddressLength = socklen_t;
}  // namespace os

#endif
