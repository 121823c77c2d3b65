// TLS is not built for Windows yet: every session that asks for it fails
// with a status that says so, before anything is sent in clear.
#include "tls.h"

namespace os {

struct TlsClient {};
struct TlsConnection {};

bool tlsAvailable() { return false; }
std::shared_ptr<TlsClient> tlsClient(const std::string&, const std::string&) { return nullptr; }
TlsConnection* tlsBegin(const std::shared_ptr<TlsClient>&, Socket) { return nullptr; }
TlsIo tlsHandshake(TlsConnection*) { return TlsIo::failed; }
TlsCheck tlsCheck(TlsConnection*) { return TlsCheck::unavailable; }
TlsIo tlsRead(TlsConnection*, char*, std::size_t, std::size_t& got) {
    got = 0;
    return TlsIo::failed;
}
TlsIo tlsWrite(TlsConnection*, const char*, std::size_t, std::size_t& sent) {
    sent = 0;
    return TlsIo::failed;
}
TlsIo tlsCloseNotify(TlsConnection*) { return TlsIo::failed; }
void tlsKeepSession(TlsConnection*) {}
bool tlsResumed(TlsConnection*) { return false; }
void tlsEnd(TlsConnection*) {}
void tlsUpTo12ForTests(bool) {}

}  // namespace os
