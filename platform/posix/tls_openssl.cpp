#include "tls.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <utility>

namespace os {
namespace {

// OpenSSL is loaded on the first TLS session, not with the program: a plain
// session then costs no more memory than before TLS existed (linked, the two
// libraries add some 1.8 MiB of resident pages to every run), and a system
// without libssl still runs plain sessions.
#define TALVEN_OPENSSL_CALLS(X)                                                                              \
    X(BIO_clear_flags) X(BIO_get_data) X(BIO_get_new_index) X(BIO_meth_new) X(BIO_meth_set_ctrl)             \
    X(BIO_meth_set_read) X(BIO_meth_set_write) X(BIO_new) X(BIO_set_data) X(BIO_set_flags) X(BIO_set_init)   \
    X(ERR_clear_error) X(ERR_peek_error) X(EVP_sha256) X(SSL_CTX_ctrl) X(SSL_CTX_free) X(SSL_CTX_new)        \
    X(SSL_CTX_set_options) X(SSL_CTX_set_default_verify_paths) X(SSL_CTX_set_verify) X(SSL_SESSION_free)     \
    X(SSL_ctrl) X(SSL_do_handshake) X(SSL_free) X(SSL_get0_param) X(SSL_get1_peer_certificate)               \
    X(SSL_get1_session) X(SSL_get_error) X(SSL_get_verify_result) X(SSL_has_pending) X(SSL_is_init_finished) X(SSL_new)         \
    X(SSL_read_ex) X(SSL_session_reused) X(SSL_set1_host) X(SSL_set_bio) X(SSL_set_connect_state)            \
    X(SSL_set_hostflags) X(SSL_set_session) X(SSL_set_shutdown) X(SSL_shutdown) X(SSL_version) X(SSL_write_ex) \
    X(TLS_client_method)                                                                                      \
    X(X509_VERIFY_PARAM_set1_ip_asc) X(X509_digest) X(X509_free)

struct OpenSsl {
#define TALVEN_OPENSSL_FIELD(name) decltype(&::name) name;
    TALVEN_OPENSSL_CALLS(TALVEN_OPENSSL_FIELD)
#undef TALVEN_OPENSSL_FIELD
};

// The loaded library, or null when it is not there.
const OpenSsl* openSsl() {
    static const OpenSsl* loaded = []() -> const OpenSsl* {
        void* library = dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return nullptr;
        static OpenSsl calls;
        bool complete = true;
#define TALVEN_OPENSSL_LOAD(name)                                                     \
    calls.name = reinterpret_cast<decltype(calls.name)>(dlsym(library, #name)); \
    complete = complete && calls.name != nullptr;
        TALVEN_OPENSSL_CALLS(TALVEN_OPENSSL_LOAD)
#undef TALVEN_OPENSSL_LOAD
        return complete ? &calls : nullptr;
    }();
    return loaded;
}

// Only called once openSsl() has loaded the library.
const OpenSsl& lib() { return *openSsl(); }

}  // namespace

struct TlsClient {
    ~TlsClient() {
        if (session != nullptr) lib().SSL_SESSION_free(session);
        lib().SSL_CTX_free(context);
    }
    SSL_CTX* context = nullptr;
    std::string host;
    std::string pin;
    SSL_SESSION* session = nullptr;
};

// What the connection's socket BIO works on. While a write gathers, the
// records OpenSSL makes are kept and go to the socket together afterwards.
struct SocketSide {
    int socket = -1;
    bool gathering = false;
    std::string gathered;          // records made, not yet taken by the socket
    std::size_t gatheredPlain = 0;  // how many caller's bytes they carry
};

struct TlsConnection {
    // A connection broken off (a cancelled transfer) must not spoil the
    // session it shares with the control connection: freed without a
    // shutdown, OpenSSL marks that session not resumable, and a server that
    // requires resumption then refuses every later data connection.
    ~TlsConnection() {
        if (ssl != nullptr) lib().SSL_set_shutdown(ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
        lib().SSL_free(ssl);
    }
    std::shared_ptr<TlsClient> client;
    SSL* ssl = nullptr;
    bool pinChecked = false;
    SocketSide side;
};

namespace {

std::atomic<bool> gUpTo12{false};

bool isAddress(const std::string& host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

std::string fingerprint(SSL* ssl) {
    X509* certificate = lib().SSL_get1_peer_certificate(ssl);
    if (certificate == nullptr) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool made = lib().X509_digest(certificate, lib().EVP_sha256(), digest, &length) == 1;
    lib().X509_free(certificate);
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
SocketSide& sideOf(BIO* bio) { return *static_cast<SocketSide*>(lib().BIO_get_data(bio)); }
int socketOf(BIO* bio) { return sideOf(bio).socket; }

bool tryAgain() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

int bioWrite(BIO* bio, const char* bytes, int count) {
    lib().BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    SocketSide& side = sideOf(bio);
    if (side.gathering) {
        side.gathered.append(bytes, static_cast<std::size_t>(count));
        return count;
    }
    const ssize_t sent = send(side.socket, bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && tryAgain()) lib().BIO_set_flags(bio, BIO_FLAGS_WRITE | BIO_FLAGS_SHOULD_RETRY);
    return static_cast<int>(sent);
}

int bioRead(BIO* bio, char* buffer, int capacity) {
    lib().BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    const ssize_t got = recv(socketOf(bio), buffer, static_cast<std::size_t>(capacity), MSG_DONTWAIT);
    if (got < 0 && tryAgain()) lib().BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
    return static_cast<int>(got);
}

long bioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD* socketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = lib().BIO_meth_new(lib().BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "talven socket");
        if (made != nullptr) {
            lib().BIO_meth_set_write(made, bioWrite);
            lib().BIO_meth_set_read(made, bioRead);
            lib().BIO_meth_set_ctrl(made, bioControl);
        }
        return made;
    }();
    return method;
}

BIO* socketBio(SocketSide& side) {
    BIO* bio = socketMethod() == nullptr ? nullptr : lib().BIO_new(socketMethod());
    if (bio == nullptr) return nullptr;
    lib().BIO_set_data(bio, &side);
    lib().BIO_set_init(bio, 1);
    return bio;
}

// The name or address the certificate must carry, checked in the handshake.
bool expectHost(SSL* ssl, const std::string& host) {
    if (isAddress(host)) return lib().X509_VERIFY_PARAM_set1_ip_asc(lib().SSL_get0_param(ssl), host.c_str()) == 1;
    // A wildcard stands for a whole label only ("*.example.com"), never for
    // part of one ("f*.example.com"), as curl and browsers hold it.
    lib().SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // Server name indication carries names only, never addresses.
    return lib().SSL_set1_host(ssl, host.c_str()) == 1 &&
           lib().SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                          const_cast<char*>(host.c_str())) == 1;
}

// Hands the gathered records to the socket: done once it took them all.
TlsIo sendGathered(SocketSide& side) {
    std::size_t taken = 0;
    while (taken < side.gathered.size()) {
        const ssize_t sent = send(side.socket, side.gathered.data() + taken, side.gathered.size() - taken,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && tryAgain()) break;
        if (sent < 0) return TlsIo::failed;
        taken += static_cast<std::size_t>(sent);
    }
    side.gathered.erase(0, taken);
    return side.gathered.empty() ? TlsIo::done : TlsIo::wantWrite;
}

TlsIo outcome(TlsConnection* connection, int result) {
    switch (lib().SSL_get_error(connection->ssl, result)) {
        case SSL_ERROR_NONE: return TlsIo::done;
        case SSL_ERROR_WANT_READ: return TlsIo::wantRead;
        case SSL_ERROR_WANT_WRITE: return TlsIo::wantWrite;
        case SSL_ERROR_ZERO_RETURN: return TlsIo::closeNotify;
        case SSL_ERROR_SYSCALL: return errno == 0 ? TlsIo::bareClose : TlsIo::failed;
        case SSL_ERROR_SSL:
            return ERR_GET_REASON(lib().ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING ? TlsIo::bareClose
                                                                                         : TlsIo::failed;
        default: return TlsIo::failed;
    }
}

}  // namespace

bool tlsAvailable() { return openSsl() != nullptr; }

std::shared_ptr<TlsClient> tlsClient(const std::string& host, const std::string& pin) {
    if (openSsl() == nullptr) return nullptr;
    auto client = std::make_shared<TlsClient>();
    client->context = lib().SSL_CTX_new(lib().TLS_client_method());
    if (client->context == nullptr) return nullptr;
    client->host = host;
    client->pin = pin;
    lib().SSL_CTX_ctrl(client->context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    if (gUpTo12) lib().SSL_CTX_ctrl(client->context, SSL_CTRL_SET_MAX_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    // A TLS 1.2 renegotiation could show another certificate, which a pin
    // checked once at the handshake would never see; FTPS servers have no
    // need of one.
    lib().SSL_CTX_set_options(client->context, SSL_OP_NO_RENEGOTIATION);
    // A pinned certificate is the whole proof; without a pin the chain and
    // the name are checked in the handshake, which then fails at once.
    if (pin.empty()) {
        lib().SSL_CTX_set_verify(client->context, SSL_VERIFY_PEER, nullptr);
        if (lib().SSL_CTX_set_default_verify_paths(client->context) != 1) return nullptr;
    } else {
        lib().SSL_CTX_set_verify(client->context, SSL_VERIFY_NONE, nullptr);
    }
    return client;
}

TlsConnection* tlsBegin(const std::shared_ptr<TlsClient>& client, Socket socket) {
    if (client == nullptr) return nullptr;
    auto* connection = new TlsConnection;
    connection->client = client;
    connection->ssl = lib().SSL_new(client->context);
    connection->side.socket = static_cast<int>(socket);
    BIO* bio = connection->ssl == nullptr ? nullptr : socketBio(connection->side);
    if (bio != nullptr) lib().SSL_set_bio(connection->ssl, bio, bio);
    if (bio == nullptr || (client->pin.empty() && !expectHost(connection->ssl, client->host)) ||
        (client->session != nullptr && lib().SSL_set_session(connection->ssl, client->session) != 1)) {
        delete connection;
        return nullptr;
    }
    lib().SSL_set_connect_state(connection->ssl);
    return connection;
}

TlsIo tlsHandshake(TlsConnection* connection) {
    lib().ERR_clear_error();
    errno = 0;
    const TlsIo io = outcome(connection, lib().SSL_do_handshake(connection->ssl));
    if (io == TlsIo::done && !connection->client->pin.empty())
        connection->pinChecked = fingerprint(connection->ssl) == connection->client->pin;
    return io;
}

TlsCheck tlsCheck(TlsConnection* connection) {
    if (!lib().SSL_is_init_finished(connection->ssl)) {
        switch (lib().SSL_get_verify_result(connection->ssl)) {
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
    lib().ERR_clear_error();
    errno = 0;
    got = 0;
    if (const TlsIo sending = sendGathered(connection->side); sending != TlsIo::done) return sending;
    const int result = lib().SSL_read_ex(connection->ssl, buffer, capacity, &got);
    return result == 1 ? TlsIo::done : outcome(connection, result);
}

// One write makes the records of up to this many bytes (four full records
// of 16 KiB) and hands them to the socket in one send, rather than a send
// per record; a write the socket cannot take whole is finished by the next
// call, which the caller makes with the same bytes.
constexpr std::size_t kGatheredPerWrite = 65536;

TlsIo tlsWrite(TlsConnection* connection, const char* bytes, std::size_t count, std::size_t& sent) {
    lib().ERR_clear_error();
    errno = 0;
    sent = 0;
    SocketSide& side = connection->side;
    if (side.gatheredPlain == 0) {
        if (const TlsIo sending = sendGathered(side); sending != TlsIo::done) return sending;
        std::size_t made = 0;
        side.gathering = true;
        const int result = lib().SSL_write_ex(connection->ssl, bytes, std::min(count, kGatheredPerWrite), &made);
        side.gathering = false;
        if (result != 1) return outcome(connection, result);
        side.gatheredPlain = made;
    }
    if (const TlsIo sending = sendGathered(side); sending != TlsIo::done) return sending;
    sent = std::exchange(side.gatheredPlain, 0);
    return TlsIo::done;
}

bool tlsHasPending(TlsConnection* connection) { return lib().SSL_has_pending(connection->ssl) == 1; }

TlsIo tlsCloseNotify(TlsConnection* connection) {
    lib().ERR_clear_error();
    errno = 0;
    if (const TlsIo sending = sendGathered(connection->side); sending != TlsIo::done) return sending;
    const int result = lib().SSL_shutdown(connection->ssl);
    return result >= 0 ? TlsIo::done : outcome(connection, result);
}

void tlsKeepSession(TlsConnection* connection) {
    SSL_SESSION* session = lib().SSL_get1_session(connection->ssl);
    if (session == nullptr) return;
    TlsClient& client = *connection->client;
    if (client.session != nullptr) lib().SSL_SESSION_free(client.session);
    client.session = session;
}

bool tlsResumed(TlsConnection* connection) { return lib().SSL_session_reused(connection->ssl) == 1; }

std::string tlsProtocol(TlsConnection* connection) {
    // The wire version: 0x0303 is TLS 1.2, 0x0304 TLS 1.3.
    const int version = lib().SSL_version(connection->ssl);
    return "TLS 1." + std::to_string((version & 0xff) - 1);
}

void tlsEnd(TlsConnection* connection) { delete connection; }

void tlsUpTo12ForTests(bool upTo12) { gUpTo12 = upTo12; }

}  // namespace os
