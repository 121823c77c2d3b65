// TLS through the system's own Schannel (SSPI): nothing is shipped beside the
// library, and the certificate is checked against the Windows trust store.
//
// Schannel works on buffers only; the bytes travel through the connection's
// non-blocking socket here, so that every call returns at once.
#include "tls.h"

#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <subauth.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

namespace os {

struct TlsClient {
    ~TlsClient() {
        if (haveCredential) FreeCredentialsHandle(&credential);
    }
    // Schannel resumes a session for the same credential and target name:
    // one credential for the whole session, the host as every target name.
    CredHandle credential{};
    bool haveCredential = false;
    std::wstring host;
    std::string pin;
};

struct TlsConnection {
    ~TlsConnection() {
        if (haveContext) DeleteSecurityContext(&context);
    }
    std::shared_ptr<TlsClient> client;
    Socket socket = kNoSocket;
    CtxtHandle context{};
    bool haveContext = false;
    bool established = false;
    bool tls13 = false;  // whose record headers all say application data
    TlsCheck check = TlsCheck::handshakeFailed;
    SecPkgContext_StreamSizes sizes{};
    std::string received;   // records not yet decrypted
    std::string plain;      // decrypted bytes not yet taken
    std::size_t plainTaken = 0;
    std::string unsent;     // encrypted bytes the socket has not taken yet
    std::size_t unsentPlain = 0;  // how many caller's bytes unsent carries
    bool peerClosed = false;
    bool closeNotifyMade = false;
    bool credentialsRetried = false;
    // A message of the peer after the handshake is being taken through the
    // handshake call, which needs more bytes before records decrypt again.
    bool renegotiating = false;
    std::string checkedFingerprint;  // of the certificate the handshake checked
};

namespace {

std::atomic<bool> gUpTo12{false};

// A server that asks for a client certificate gets none, and the handshake
// goes on: Schannel picks none of the user's own.
constexpr DWORD kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                           ISC_REQ_USE_SUPPLIED_CREDS;
constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;

std::wstring wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
    return result;
}

bool acquire(CredHandle& credential, void* authData) {
    TimeStamp expiry;
    return AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                     authData, nullptr, nullptr, &credential, &expiry) == SEC_E_OK;
}

// TLS 1.2 and 1.3 where the system has the newer credential (Windows 10
// 1809 and later), else TLS 1.2 through the older one.
bool acquireCredential(CredHandle& credential) {
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols =
        ~static_cast<DWORD>(gUpTo12 ? SP_PROT_TLS1_2_CLIENT : SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = kCredentialFlags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    if (acquire(credential, &current)) return true;
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.dwFlags = kCredentialFlags;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    return acquire(credential, &older);
}

// Hands the socket what it takes now: done once nothing is left to send,
// else wantWrite, or failed.
TlsIo flush(TlsConnection& connection) {
    while (!connection.unsent.empty()) {
        const std::int64_t sent = sendSome(connection.socket, connection.unsent.data(), connection.unsent.size());
        if (sent < 0) return TlsIo::failed;
        if (sent == 0) return TlsIo::wantWrite;
        connection.unsent.erase(0, static_cast<std::size_t>(sent));
    }
    return TlsIo::done;
}

enum class Arrival { some, none, closed, failed };

// A TLS record is at most some 18 KiB, so a server that sends far more
// without Schannel finding one whole is not speaking TLS; the bound keeps it
// from filling memory until the wait runs out.
constexpr std::size_t kReceivedLimit = 1 << 20;

Arrival receiveMore(TlsConnection& connection) {
    if (connection.received.size() > kReceivedLimit) return Arrival::failed;
    char chunk[16384];
    const std::int64_t got = receiveSome(connection.socket, chunk, sizeof chunk);
    if (got == kNothingArrived) return Arrival::none;
    if (got == 0) return Arrival::closed;
    if (got < 0) return Arrival::failed;
    connection.received.append(chunk, static_cast<std::size_t>(got));
    return Arrival::some;
}

// Queues a token Schannel made for the peer, and frees it.
void queueToken(TlsConnection& connection, SecBuffer& token) {
    if (token.pvBuffer == nullptr) return;
    connection.unsent.append(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
    FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
}

// Keeps the bytes Schannel did not use (the next records) as received.
void keepExtra(TlsConnection& connection, const SecBuffer& extra) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0)
        connection.received.erase(0, connection.received.size() - extra.cbBuffer);
    else
        connection.received.clear();
}

// One step of the handshake over the bytes received so far.
SECURITY_STATUS handshakeStep(TlsConnection& connection) {
    SecBuffer input[2] = {{static_cast<unsigned long>(connection.received.size()), SECBUFFER_TOKEN,
                           connection.received.data()},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inputs{SECBUFFER_VERSION, 2, input};
    SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputs{SECBUFFER_VERSION, 1, &output};
    unsigned long attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status = InitializeSecurityContextW(
        &connection.client->credential, connection.haveContext ? &connection.context : nullptr,
        connection.client->host.data(), kRequest, 0, 0, connection.haveContext ? &inputs : nullptr, 0,
        &connection.context, &outputs, &attributes, &expiry);
    connection.haveContext = true;
    queueToken(connection, output);
    // Asked for credentials, Schannel has taken none of the input: the next
    // call takes it again.
    if (status != SEC_E_INCOMPLETE_MESSAGE && status != SEC_I_INCOMPLETE_CREDENTIALS)
        keepExtra(connection, input[1]);
    return status;
}

std::string hex(const BYTE* bytes, DWORD count) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (DWORD i = 0; i < count; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    return text;
}

std::string fingerprint(PCCERT_CONTEXT certificate) {
    BYTE digest[32];
    DWORD length = sizeof digest;
    if (!CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, certificate->pbCertEncoded,
                               certificate->cbCertEncoded, digest, &length))
        return {};
    return hex(digest, length);
}

std::wstring lowerCase(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
    return text;
}

// Whether name, one the certificate gives, names host: the same name (case
// aside), or "*." and what follows the first label of host. A wildcard
// stands for a whole label only, never for part of one ("f*.example.com"),
// as OpenSSL is told to hold it; the SSL policy may accept such a part.
bool namesHost(const std::wstring& name, const std::wstring& host) {
    const std::wstring pattern = lowerCase(name), wanted = lowerCase(host);
    if (pattern == wanted) return true;
    if (pattern.size() < 3 || pattern.compare(0, 2, L"*.") != 0) return false;
    const std::size_t dot = wanted.find(L'.');
    return dot != std::wstring::npos && dot > 0 && wanted.compare(dot, std::wstring::npos, pattern, 1) == 0;
}

// The DNS names of the certificate's subject alternative names, or, where it
// has none, its common name.
std::vector<std::wstring> dnsNames(PCCERT_CONTEXT certificate) {
    std::vector<std::wstring> names;
    const CERT_INFO* info = certificate->pCertInfo;
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    CERT_ALT_NAME_INFO* alternatives = nullptr;
    DWORD size = 0;
    if (extension != nullptr &&
        CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                            CRYPT_DECODE_ALLOC_FLAG, nullptr, &alternatives, &size)) {
        for (DWORD i = 0; i < alternatives->cAltEntry; ++i)
            if (alternatives->rgAltEntry[i].dwAltNameChoice == CERT_ALT_NAME_DNS_NAME)
                names.emplace_back(alternatives->rgAltEntry[i].pwszDNSName);
        LocalFree(alternatives);
        return names;
    }
    wchar_t common[256];
    if (CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), common, 256) > 1)
        names.emplace_back(common);
    return names;
}

// An address is checked by the policy alone: no wildcard stands for one.
bool isAddress(const std::wstring& host) {
    return host.find(L':') != std::wstring::npos || host.find_first_not_of(L"0123456789.") == std::wstring::npos;
}

bool someNameIsHost(PCCERT_CONTEXT certificate, const std::wstring& host) {
    if (isAddress(host)) return true;
    for (const std::wstring& name : dnsNames(certificate))
        if (namesHost(name, host)) return true;
    return false;
}

// The chain must end in a trusted root with no fault anywhere on it: the SSL
// policy alone passes an incomplete chain under some implementations. Then
// the policy checks the server's name, and so does someNameIsHost, which
// takes no wildcard for part of a label.
TlsCheck checkChain(PCCERT_CONTEXT certificate, const std::wstring& host) {
    LPSTR serverUse = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = &serverUse;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &parameters, 0, nullptr,
                                 &chain))
        return TlsCheck::untrusted;
    TlsCheck check = TlsCheck::untrusted;
    if (chain->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR) {
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA server{};
        server.cbSize = sizeof server;
        server.dwAuthType = AUTHTYPE_SERVER;
        server.pwszServerName = const_cast<WCHAR*>(host.c_str());
        CERT_CHAIN_POLICY_PARA policy{};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &server;
        CERT_CHAIN_POLICY_STATUS status{};
        status.cbSize = sizeof status;
        if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
            check = status.dwError == 0                     ? TlsCheck::passed
                    : status.dwError == DWORD(CERT_E_CN_NO_MATCH) ? TlsCheck::nameMismatch
                                                                  : TlsCheck::untrusted;
        if (check == TlsCheck::passed && !someNameIsHost(certificate, host)) check = TlsCheck::nameMismatch;
    }
    CertFreeCertificateChain(chain);
    return check;
}

PCCERT_CONTEXT serverCertificate(TlsConnection& connection) {
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(&connection.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK)
        return nullptr;
    return certificate;
}

TlsCheck checkServer(TlsConnection& connection) {
    PCCERT_CONTEXT certificate = serverCertificate(connection);
    if (certificate == nullptr) return TlsCheck::handshakeFailed;
    const TlsClient& client = *connection.client;
    connection.checkedFingerprint = fingerprint(certificate);
    TlsCheck check;
    if (client.pin.empty())
        check = checkChain(certificate, client.host);
    else
        check = connection.checkedFingerprint == client.pin ? TlsCheck::passed : TlsCheck::pinMismatch;
    CertFreeCertificateContext(certificate);
    return check;
}

// A renegotiation may show another certificate, which nothing has checked.
bool sameServer(TlsConnection& connection) {
    PCCERT_CONTEXT certificate = serverCertificate(connection);
    if (certificate == nullptr) return true;  // none shown anew
    const bool same = fingerprint(certificate) == connection.checkedFingerprint;
    CertFreeCertificateContext(certificate);
    return same;
}

TlsIo establish(TlsConnection& connection) {
    if (QueryContextAttributesW(&connection.context, SECPKG_ATTR_STREAM_SIZES, &connection.sizes) != SEC_E_OK)
        return TlsIo::failed;
    connection.established = true;
    SecPkgContext_ConnectionInfo info{};
    connection.tls13 = QueryContextAttributesW(&connection.context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK &&
                       (info.dwProtocol & (SP_PROT_TLS1_3_CLIENT | SP_PROT_TLS1_3_SERVER)) != 0;
    connection.check = checkServer(connection);
    return TlsIo::done;
}

// Windows' Schannel gives the peer's close_notify as SEC_I_CONTEXT_EXPIRED,
// and a record without data there is just that: TLS lets a peer send empty
// records, and taking one for the end would take a cut download for a
// whole one. Wine's (over GnuTLS) gives close_notify as a record without
// data, and an empty record the same way; up to TLS 1.2 the record's header
// tells them apart (an alert, not application data), so only there, and
// where the header cannot tell (TLS 1.3 hides the type), does a record
// without data end it.
// Found as the image loads: a local static's guard would bring in a threads
// run-time (see os::Lock).
const bool gOnWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;

constexpr unsigned char kAlertRecord = 21;

bool emptyRecordEndsData(const TlsConnection& connection, unsigned char recordType) {
    return gOnWine && (recordType == kAlertRecord || connection.tls13);
}

// What one step over the received bytes did.
enum class Step { taken, more, failed };

// A message of the peer after the handshake (a TLS 1.3 session ticket or
// key update, which Schannel reports as SEC_I_RENEGOTIATE, or a TLS 1.2
// renegotiation) goes to the handshake call with the bytes that follow it,
// call after call, until that call is done: a message cut across socket
// receives needs more bytes, a renegotiation more round trips.
Step continueHandshake(TlsConnection& connection) {
    const std::size_t before = connection.received.size();
    const SECURITY_STATUS status = handshakeStep(connection);
    if (status == SEC_E_OK) {
        connection.renegotiating = false;
        return sameServer(connection) ? Step::taken : Step::failed;
    }
    if (status != SEC_E_INCOMPLETE_MESSAGE && status != SEC_I_CONTINUE_NEEDED) return Step::failed;
    connection.renegotiating = true;
    return status == SEC_I_CONTINUE_NEEDED && connection.received.size() < before ? Step::taken : Step::more;
}

Step decryptOne(TlsConnection& connection) {
    if (connection.received.empty()) return Step::more;
    const unsigned char recordType = static_cast<unsigned char>(connection.received[0]);
    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(connection.received.size()), SECBUFFER_DATA, connection.received.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&connection.context, &message, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return Step::more;
    if (status == SEC_I_CONTEXT_EXPIRED) {  // the peer's close_notify
        connection.peerClosed = true;
        return Step::taken;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return Step::failed;
    const SecBuffer* data = nullptr;
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA) data = &buffer;
        if (buffer.BufferType == SECBUFFER_EXTRA) extra = &buffer;
    }
    const bool hasData = data != nullptr && data->cbBuffer > 0;
    if (hasData) connection.plain.assign(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
    connection.plainTaken = 0;
    const std::size_t extraSize = extra != nullptr ? extra->cbBuffer : 0;
    connection.received.erase(0, connection.received.size() - extraSize);
    // The handshake call takes the message at once, with what followed it.
    if (status == SEC_I_RENEGOTIATE) return continueHandshake(connection) == Step::failed ? Step::failed : Step::taken;
    if (!hasData && emptyRecordEndsData(connection, recordType)) connection.peerClosed = true;
    return Step::taken;
}

Step takeReceived(TlsConnection& connection) {
    if (!connection.renegotiating) return decryptOne(connection);
    return connection.received.empty() ? Step::more : continueHandshake(connection);
}

std::size_t takePlain(TlsConnection& connection, char* buffer, std::size_t capacity) {
    const std::size_t count = std::min(capacity, connection.plain.size() - connection.plainTaken);
    std::memcpy(buffer, connection.plain.data() + connection.plainTaken, count);
    connection.plainTaken += count;
    if (connection.plainTaken == connection.plain.size()) {
        connection.plain.clear();
        connection.plainTaken = 0;
    }
    return count;
}

// Encrypts count bytes (at most cbMaximumMessage) as one record, appended to
// what is still unsent, in place: no buffer of its own per record.
bool encrypt(TlsConnection& connection, const char* bytes, std::size_t count) {
    const SecPkgContext_StreamSizes& sizes = connection.sizes;
    const std::size_t start = connection.unsent.size();
    connection.unsent.resize(start + sizes.cbHeader + count + sizes.cbTrailer);
    char* record = connection.unsent.data() + start;
    std::memcpy(record + sizes.cbHeader, bytes, count);
    SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                            {static_cast<unsigned long>(count), SECBUFFER_DATA, record + sizes.cbHeader},
                            {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + count},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    const bool encrypted = EncryptMessage(&connection.context, 0, &message, 0) == SEC_E_OK;
    connection.unsent.resize(encrypted ? start + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer
                                       : start);
    return encrypted;
}

// One write makes up to this many full records (cbMaximumMessage, 16 KiB)
// and hands them to the socket together: 64 KiB per send, as OpenSSL's
// clients do, rather than a send per record.
constexpr std::size_t kRecordsPerWrite = 4;

}  // namespace

bool tlsAvailable() { return true; }

std::shared_ptr<TlsClient> tlsClient(const std::string& host, const std::string& pin) {
    auto client = std::make_shared<TlsClient>();
    client->haveCredential = acquireCredential(client->credential);
    if (!client->haveCredential) return nullptr;
    client->host = wide(host);
    client->pin = pin;
    return client;
}

TlsConnection* tlsBegin(const std::shared_ptr<TlsClient>& client, Socket socket) {
    if (client == nullptr) return nullptr;
    auto* connection = new TlsConnection;
    connection->client = client;
    connection->socket = socket;
    return connection;
}

TlsIo tlsHandshake(TlsConnection* connection) {
    TlsConnection& c = *connection;
    for (;;) {
        if (const TlsIo sending = flush(c); sending != TlsIo::done || c.established) return sending;
        if (c.haveContext) {
            switch (receiveMore(c)) {
                case Arrival::some: break;
                case Arrival::none:
                    if (c.received.empty()) return TlsIo::wantRead;
                    break;
                case Arrival::closed:
                case Arrival::failed: return TlsIo::failed;
            }
        }
        const SECURITY_STATUS status = handshakeStep(c);
        if (status == SEC_E_OK) {
            if (establish(c) == TlsIo::failed) return TlsIo::failed;
        } else if (status == SEC_E_INCOMPLETE_MESSAGE) {
            if (receiveMore(c) != Arrival::some) return TlsIo::wantRead;
        } else if (status == SEC_I_INCOMPLETE_CREDENTIALS && !c.credentialsRetried) {
            c.credentialsRetried = true;  // once: a second request would come back without end
        } else if (status != SEC_I_CONTINUE_NEEDED) {
            flush(c);  // the alert that says why, when Schannel made one
            return TlsIo::failed;
        }
    }
}

TlsCheck tlsCheck(TlsConnection* connection) { return connection->check; }

TlsIo tlsRead(TlsConnection* connection, char* buffer, std::size_t capacity, std::size_t& got) {
    TlsConnection& c = *connection;
    got = 0;
    for (;;) {
        if (!c.plain.empty()) {
            got = takePlain(c, buffer, capacity);
            return TlsIo::done;
        }
        if (c.peerClosed) return TlsIo::closeNotify;
        switch (takeReceived(c)) {
            case Step::taken: continue;
            case Step::failed: return TlsIo::failed;
            case Step::more: break;
        }
        if (const TlsIo sending = flush(c); sending != TlsIo::done) return sending;
        switch (receiveMore(c)) {
            case Arrival::some: break;
            case Arrival::none: return TlsIo::wantRead;
            case Arrival::closed: return TlsIo::bareClose;
            case Arrival::failed: return TlsIo::failed;
        }
    }
}

TlsIo tlsWrite(TlsConnection* connection, const char* bytes, std::size_t count, std::size_t& sent) {
    TlsConnection& c = *connection;
    sent = 0;
    if (c.unsentPlain == 0) {
        std::size_t taken = 0;
        for (std::size_t record = 0; record < kRecordsPerWrite && taken < count; ++record) {
            const std::size_t part = std::min<std::size_t>(count - taken, c.sizes.cbMaximumMessage);
            if (!encrypt(c, bytes + taken, part)) return TlsIo::failed;
            taken += part;
        }
        c.unsentPlain = taken;
    }
    if (const TlsIo sending = flush(c); sending != TlsIo::done) return sending;
    sent = c.unsentPlain;
    c.unsentPlain = 0;
    return TlsIo::done;
}

bool tlsHasPending(TlsConnection* connection) { return !connection->plain.empty() || !connection->received.empty(); }

TlsIo tlsCloseNotify(TlsConnection* connection) {
    TlsConnection& c = *connection;
    if (!c.closeNotifyMade) {
        DWORD shutdown = SCHANNEL_SHUTDOWN;
        SecBuffer token{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
        SecBufferDesc tokens{SECBUFFER_VERSION, 1, &token};
        if (ApplyControlToken(&c.context, &tokens) != SEC_E_OK) return TlsIo::failed;
        SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outputs{SECBUFFER_VERSION, 1, &output};
        unsigned long attributes = 0;
        TimeStamp expiry;
        const SECURITY_STATUS status =
            InitializeSecurityContextW(&c.client->credential, &c.context, c.client->host.data(), kRequest, 0, 0,
                                       nullptr, 0, &c.context, &outputs, &attributes, &expiry);
        queueToken(c, output);
        if (FAILED(status)) return TlsIo::failed;
        c.closeNotifyMade = true;
    }
    return flush(c);
}

// Schannel keeps the session in its own cache, under the credential and the
// target name.
void tlsKeepSession(TlsConnection*) {}

bool tlsResumed(TlsConnection* connection) {
    SecPkgContext_SessionInfo session{};
    return QueryContextAttributesW(&connection->context, SECPKG_ATTR_SESSION_INFO, &session) == SEC_E_OK &&
           (session.dwFlags & SSL_SESSION_RECONNECT) != 0;
}

std::string tlsProtocol(TlsConnection* connection) {
    // Older SDK headers lack the TLS 1.3 flag.
    constexpr DWORD kTls13Client = 0x00002000;
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(&connection->context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) return "TLS";
    return (info.dwProtocol & kTls13Client) != 0 ? "TLS 1.3" : "TLS 1.2";
}

void tlsEnd(TlsConnection* connection) { delete connection; }

void tlsUpTo12ForTests(bool upTo12) { gUpTo12 = upTo12; }

}  // namespace os
