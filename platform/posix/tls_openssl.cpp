#include "tls.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sys/socket.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdint>

namespace os {

struct TlsClient {
    ~TlsClient() {
        if (session != nullptr) SSL_SESSION_free(session);
        SSL_CTX_free(context);
    }
    SSL_CTX* context = nullptr;
    std::string host;
    std::string pin;
    SSL_SESSION* session = nullptr;
};

struct TlsConnection {
    ~TlsConnection() { SSL_free(ssl); }
    std::shared_ptr<TlsClient> client;
    SSL* ssl = nullptr;
    bool pinChecked = false;
};

namespace {

std::atomic<bool> gUpTo12{false};

bool isAddress(const std::string& host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

std::string fingerprint(SSL* ssl) {
    X509* certificate = SSL_get1_peer_certificate(ssl);
    if (certificate == nullptr) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool made = X509_digest(certificate, EVP_sha256(), digest, &length) == 1;
    X509_free(certificate);
    if (!made) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

// A socket BIO of our own: every call returns at once, and writing to a
// closed peer never raises SIGPIPE, which would end the caller's process.
int socketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

bool tryAgain() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

int bioWrite(BIO* bio, const char* bytes, int count) {
    BIO_clear_retry_flags(bio);
    const ssize_t sent = send(socketOf(bio), bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && tryAgain()) BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int bioRead(BIO* bio, char* buffer, int capacity) {
    BIO_clear_retry_flags(bio);
    const ssize_t got = recv(socketOf(bio), buffer, static_cast<std::size_t>(capacity), MSG_DONTWAIT);
    if (got < 0 && tryAgain()) BIO_set_retry_read(bio);
    return static_cast<int>(got);
}

long bioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD* socketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "talven socket");
        if (made != nullptr) {
            BIO_meth_set_write(made, bioWrite);
            BIO_meth_set_read(made, bioRead);
            BIO_meth_set_ctrl(made, bioControl);
        }
        return made;
    }();
    return method;
}

BIO* socketBio(Socket socket) {
    BIO* bio = socketMethod() == nullptr ? nullptr : BIO_new(socketMethod());
    if (bio == nullptr) return nullptr;
    BIO_set_data(bio, reinterpret_cast<void*>(socket));
    BIO_set_init(bio, 1);
    return bio;
}

// The name or address the certificate must carry, checked in the handshake.
bool expectHost(SSL* ssl, const std::string& host) {
    if (isAddress(host)) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    // Server name indication carries names only, never addresses.
    return SSL_set1_host(ssl, host.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
}

TlsIo outcome(TlsConnection* connection, int result) {
    switch (SSL_get_error(connection->ssl, result)) {
        case SSL_ERROR_NONE: return TlsIo::done;
        case SSL_ERROR_WANT_READ: return TlsIo::wantRead;
        case SSL_ERROR_WANT_WRITE: return TlsIo::wantWrite;
        case SSL_ERROR_ZERO_RETURN: return TlsIo::closeNotify;
        case SSL_ERROR_SYSCALL: return errno == 0 ? TlsIo::bareClose : TlsIo::failed;
        case SSL_ERROR_SSL:
            return ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING ? TlsIo::bareClose
                                                                                         : TlsIo::failed;
        default: return TlsIo::failed;
    }
}

}  // namespace

bool tlsAvailable() { return true; }

std::shared_ptr<TlsClient> tlsClient(const std::string& host, const std::string& pin) {
    auto client = std::make_shared<TlsClient>();
    client->context = SSL_CTX_new(TLS_client_method());
    if (client->context == nullptr) return nullptr;
    client->host = host;
    client->pin = pin;
    SSL_CTX_set_min_proto_version(client->context, TLS1_2_VERSION);
    if (gUpTo12) SSL_CTX_set_max_proto_version(client->context, TLS1_2_VERSION);
    // A pinned certificate is the whole proof; without a pin the chain and
    // the name are checked in the handshake, which then fails at once.
    if (pin.empty()) {
        SSL_CTX_set_verify(client->context, SSL_VERIFY_PEER, nullptr);
        if (SSL_CTX_set_default_verify_paths(client->context) != 1) return nullptr;
    } else {
        SSL_CTX_set_verify(client->context, SSL_VERIFY_NONE, nullptr);
    }
    return client;
}

TlsConnection* tlsBegin(const std::shared_ptr<TlsClient>& client, Socket socket) {
    if (client == nullptr) return nullptr;
    auto* connection = new TlsConnection;
    connection->client = client;
    connection->ssl = SSL_new(client->context);
    BIO* bio = connection->ssl == nullptr ? nullptr : socketBio(socket);
    if (bio != nullptr) SSL_set_bio(connection->ssl, bio, bio);
    if (bio == nullptr || (client->pin.empty() && !expectHost(connection->ssl, client->host)) ||
        (client->session != nullptr && SSL_set_session(connection->ssl, client->session) != 1)) {
        delete connection;
        return nullptr;
    }
    SSL_set_connect_state(connection->ssl);
    return connection;
}

TlsIo tlsHandshake(TlsConnection* connection) {
    ERR_clear_error();
    errno = 0;
    const TlsIo io = outcome(connection, SSL_do_handshake(connection->ssl));
    if (io == TlsIo::done && !connection->client->pin.empty())
        connection->pinChecked = fingerprint(connection->ssl) == connection->client->pin;
    return io;
}

TlsCheck tlsCheck(TlsConnection* connection) {
    if (!SSL_is_init_finished(connection->ssl)) {
        switch (SSL_get_verify_result(connection->ssl)) {
            case X509_V_OK: return TlsCheck::handshakeFailed;
            case X509_V_ERR_HOSTNAME_MISMATCH:
            case X509_V_ERR_IP_ADDRESS_MISMATCH: return TlsCheck::nameMismatch;
            default: return TlsCheck::untrusted;
        }
    }
    if (!connection->client->pin.empty() && !connection->pinChecked) return TlsCheck::pinMismatch;
    return TlsCheck::passed;
}

TlsIo tlsRead(TlsConnection* connection, char* buffer, std::size_t capacity, std::size_t& got) {
    ERR_clear_error();
    errno = 0;
    got = 0;
    const int result = SSL_read_ex(connection->ssl, buffer, capacity, &got);
    return result == 1 ? TlsIo::done : outcome(connection, result);
}

TlsIo tlsWrite(TlsConnection* connection, const char* bytes, std::size_t count, std::size_t& sent) {
    ERR_clear_error();
    errno = 0;
    sent = 0;
    const int result = SSL_write_ex(connection->ssl, bytes, count, &sent);
    return result == 1 ? TlsIo::done : outcome(connection, result);
}

TlsIo tlsCloseNotify(TlsConnection* connection) {
    ERR_clear_error();
    errno = 0;
    const int result = SSL_shutdown(connection->ssl);
    return result >= 0 ? TlsIo::done : outcome(connection, result);
}

void tlsKeepSession(TlsConnection* connection) {
    SSL_SESSION* session = SSL_get1_session(connection->ssl);
    if (session == nullptr) return;
    TlsClient& client = *connection->client;
    if (client.session != nullptr) SSL_SESSION_free(client.session);
    client.session = session;
}

bool tlsResumed(TlsConnection* connection) { return SSL_session_reused(connection->ssl) == 1; }

void tlsEnd(TlsConnection* connection) { delete connection; }

void tlsUpTo12ForTests(bool upTo12) { gUpTo12 = upTo12; }

}  // namespace os
