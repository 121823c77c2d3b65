// TLS client connections over the platform's sockets. One implementation per
// platform (posix/ with OpenSSL, win32/); the stream layer drives them.
//
// Every call returns at once: when the connection needs the socket to become
// readable or writable it says so, and the caller waits (bounded) and calls
// again with the same arguments.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "os.h"

namespace os {

// What one server must prove, and the session kept for resuming: shared by
// a control connection and the data connections of its session.
struct TlsClient;
// One TLS connection over a socket.
struct TlsConnection;

enum class TlsIo {
    done,
    wantRead,
    wantWrite,
    closeNotify,  // the peer ended the data in order
    bareClose,    // the peer closed the socket without close_notify
    failed,
};

enum class TlsCheck { passed, handshakeFailed, untrusted, nameMismatch, pinMismatch, unavailable };

// False where this build has no TLS.
bool tlsAvailable();

// The certificate must chain to the system's trust store (SSL_CERT_FILE and
// SSL_CERT_DIR name other ones) and match host, or, when pin is not empty,
// have the SHA-256 fingerprint pin (64 lower-case hex digits). Null where
// TLS is not available.
std::shared_ptr<TlsClient> tlsClient(const std::string& host, const std::string& pin);
// Starts the client side of a connection over socket, offering the session
// the client keeps; null when it could not be set up.
TlsConnection* tlsBegin(const std::shared_ptr<TlsClient>& client, Socket socket);
TlsIo tlsHandshake(TlsConnection* connection);
// Why the handshake failed, or passed once the certificate was checked.
TlsCheck tlsCheck(TlsConnection* connection);
TlsIo tlsRead(TlsConnection* connection, char* buffer, std::size_t capacity, std::size_t& got);
TlsIo tlsWrite(TlsConnection* connection, const char* bytes, std::size_t count, std::size_t& sent);
// True when the connection holds received bytes not yet read (decrypted
// data, or records or a part of one), so that a read may need no socket.
bool tlsHasPending(TlsConnection* connection);
// Sends close_notify; done once it is sent.
TlsIo tlsCloseNotify(TlsConnection* connection);
// Keeps the connection's session in its client for later connections to
// resume. TLS 1.3 sends it after the handshake: keep it after reading.
void tlsKeepSession(TlsConnection* connection);
bool tlsResumed(TlsConnection* connection);
// The protocol of the established connection: "TLS 1.2", "TLS 1.3".
std::string tlsProtocol(TlsConnection* connection);
// Frees the connection; nothing is sent.
void tlsEnd(TlsConnection* connection);

// Lets tests offer no version above TLS 1.2.
void tlsUpTo12ForTests(bool upTo12);

}  // namespace os
