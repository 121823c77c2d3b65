// Explicit FTPS against a scripted server (support/tls_ftpd.py, Python's ssl
// module): the order of commands, every refusal, each failed certificate
// check, and the data connections' resumption and ends. The server makes a
// test CA for the test program; the client trusts it as the platform
// does (support/tls_peer.h).
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "client_fixture.h"
#include "stream.h"
#include "test_socket.h"
#include "tls.h"
#include "tls_peer.h"

namespace {

using namespace testftp;

const ScratchDirectory& testCaDirectory() {
    static const ScratchDirectory directory;
    return directory;
}

class TlsServer {
public:
    // Unless resumptionOptional, the server refuses data connections that
    // do not resume the control connection's session.
    explicit TlsServer(const std::string& scenario, bool resumptionOptional = false)
        : thread_([this, scenario, resumptionOptional] {
              std::vector<std::string> arguments{scenario, directory_.path().string(),
                                                 testCaDirectory().path().string()};
              if (resumptionOptional) arguments.push_back("--resumption-optional");
              runPython(TALVEN_TLS_FTPD, arguments, directory_.file("stderr"));
          }) {
        for (int waited = 0; waited < 200 && !std::filesystem::exists(directory_.file("port")); ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        port_ = static_cast<std::uint16_t>(std::atoi(readFile(directory_.file("port")).c_str()));
        // Once per program: every case's server shows a certificate of the
        // same CA.
        static std::once_flag trusted;
        std::call_once(trusted, [] { trustTestCa(testCaDirectory().file("ca.pem")); });
    }
    ~TlsServer() { finish(); }

    std::uint16_t port() const { return port_; }
    std::string pin() const { return readFile(directory_.file("pin")); }
    // What the server saw, once it has ended: commands and data facts.
    std::string log() {
        finish();
        std::string kept;
        std::istringstream lines(readFile(directory_.file("log")));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("ended:", 0) != 0) kept += line + "\n";
        return kept;
    }
    std::string file(const std::string& name) const { return directory_.file(name); }

private:
    void finish() {
        if (thread_.joinable()) thread_.join();
    }

    ScratchDirectory directory_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

const std::string kLogin = "AUTH TLS\nUSER anonymous\nPASS \n";

std::int32_t connectTls(TlsServer& server, const std::string& pin = "") {
    return talven::ftpConnectTLSToPort("localhost", server.port(), "anonymous", "", pin);
}

class Tls : public ::testing::Test {
protected:
    void SetUp() override { talven::setFtpStreamTimeoutForTests(kShortStreamTimeout); }
    void TearDown() override {
        os::tlsUpTo12ForTests(false);
        EXPECT_TRUE(talven::openConnectionNumbers().empty());
    }
};

// Every failure to open a session: -1, nothing left open, the reason as the
// last status, and never USER or PASS unless the server was verified.
TEST_F(Tls, RefusalsAndFailedChecksOpenNoSessionAndSendNoLoginInClear) {
    struct Case {
        const char* scenario;
        std::int32_t code;
        const char* text;
        std::string pin = "";
        std::string log = "AUTH TLS\n";
    };
    const Case cases[] = {
        {"auth500", 500, "AUTH not understood"},
        {"auth502", 502, "Not implemented"},
        {"auth504", 504, "Unknown security mechanism"},
        {"auth530", 530, "Not logged in"},
        {"auth534", 534, "Policy requires plain FTP"},
        {"untrusted", 81, "Server Certificate Not Trusted"},
        {"expired", 81, "Server Certificate Not Trusted"},
        {"wrong_name", 82, "Server Name Mismatch"},
        {"pin_mismatch", 83, "Server Fingerprint Mismatch", std::string(64, 'a')},
        {"auth_stall", 80, "TLS Handshake Failed"},
        // STARTTLS injection: nothing more is sent, no handshake, no USER.
        {"injected", 86, "Unencrypted Data Before TLS Handshake", "", "AUTH TLS\nafter 234: nothing\n"},
        {"pbsz_refused", 501, "PBSZ refused", "", kLogin + "PBSZ 0\n"},
        {"prot_refused", 536, "PROT P refused", "", kLogin + "PBSZ 0\nPROT P\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        TlsServer server(c.scenario);
        EXPECT_EQ(connectTls(server, c.pin), -1);
        expectLastStatus(c.code, c.text);
        EXPECT_TRUE(talven::openConnectionNumbers().empty());
        EXPECT_EQ(server.log(), c.log);
    }
}

// A wildcard in the certificate stands for a whole label of the name
// checked, never for part of one.
TEST_F(Tls, AWildcardStandsForAWholeLabelOnly) {
    const std::pair<const char*, std::int32_t> cases[] = {{"wildcard", 0}, {"partial_wildcard", talven::kTlsNameMismatch}};
    for (const auto& [scenario, error] : cases) {
        SCOPED_TRACE(scenario);
        TlsServer server(scenario);
        const std::int32_t control = talven::StreamFreeNumber();
        talven::StreamOpen(control, "127.0.0.1", server.port(), kShortStreamTimeout);
        ASSERT_TRUE(talven::ftpReadGreeting(control));
        talven::StreamSendLine(control, "AUTH TLS");
        EXPECT_EQ(talven::ftpReadReply(control), "234 Proceed with negotiation.");
        talven::errorNumber = 0;
        talven::StreamStartTLS(control, "fa.talven.test", "");
        EXPECT_EQ(talven::errorNumber, error);
        talven::StreamClose(control);
    }
}

// A data connection too: bytes it received in clear before its handshake
// fail the handshake, which then sends nothing.
TEST_F(Tls, ClearBytesBeforeADataConnectionsHandshakeFailItSendingNothing) {
    TlsServer server("normal", true);
    const std::int32_t session = connectTls(server);
    ASSERT_GT(session, 0) << talven::ftpLastReplyCode() << " " << talven::ftpLastReplyText();
    std::uint16_t port = 0;
    const testnet::Handle listener = testnet::listenLoopback(port);
    const std::int32_t data = talven::StreamFreeNumber();
    talven::StreamOpen(data, "127.0.0.1", port, kShortStreamTimeout);
    const testnet::Handle peer = testnet::acceptWithin(listener, 5000);
    ASSERT_NE(peer, testnet::kNone);
    testnet::sendAll(peer, "150 clear\r\n226 injected\r\n");
    EXPECT_EQ(talven::StreamReadLine(data), "150 clear");
    talven::errorNumber = 0;
    talven::StreamBeginTLSLike(data, session);
    EXPECT_EQ(talven::errorNumber, talven::kTlsClearBytes);
    talven::StreamClose(data);
    char byte = 0;
    EXPECT_TRUE(testnet::readableWithin(peer, 5000));
    EXPECT_EQ(testnet::receiveSome(peer, &byte, 1), 0);
    testnet::closeSocket(peer);
    testnet::closeSocket(listener);
    talven::ftpQuit(session);
}

// A whole session, under TLS 1.3 and with 1.2 forced: login after the
// handshake, PBSZ and PROT, then data connections that resume the control
// connection's session; an upload ends with close_notify.
// Where the platform cannot resume, the same session against a server that
// does not require it, which says so.
TEST_F(Tls, SessionResumesOnEveryDataConnectionAndEndsUploadsWithCloseNotify) {
    const std::string whyNot = whyNoTlsResumption();
    if (!whyNot.empty()) std::cout << "Resumption not checked: " << whyNot << "\n";
    const std::string resumed = whyNot.empty() ? "resumed\n" : "not resumed\n";
    for (bool upTo12 : {false, true}) {
        SCOPED_TRACE(upTo12 ? "TLS 1.2" : "TLS 1.3");
        os::tlsUpTo12ForTests(upTo12);
        TlsServer server("normal", !whyNot.empty());
        const std::int32_t session = connectTls(server);
        ASSERT_GT(session, 0) << talven::ftpLastReplyCode() << " " << talven::ftpLastReplyText() << "\n" << server.log();
        expectLastStatus(230, "Logged in.");
        writeFile(server.file("up.bin"), std::string(100000, 'u'));
        EXPECT_EQ(talven::ftpPutFile(session, -1, "up.bin", server.file("up.bin")), 1);
        EXPECT_EQ(talven::ftpGetFile(session, -1, "down.bin", server.file("down.bin")), 1);
        std::string digits;
        for (int i = 0; i < 10000; ++i) digits += "0123456789";
        EXPECT_EQ(readFile(server.file("down.bin")), digits);
        std::vector<std::string> lines;
        EXPECT_EQ(talven::ftpGetDirList(session, lines), 1);
        talven::ftpQuit(session);
        expectLastStatus(221, "Goodbye.");
        EXPECT_EQ(server.log(), kLogin +
                                    "PBSZ 0\nPROT P\n"
                                    "TYPE I\nPASV\nSTOR up.bin\n" + resumed + "close_notify 100000\n" +
                                    "PASV\nTYPE I\nRETR down.bin\n" + resumed + "PASV\nTYPE A\nLIST\n" + resumed +
                                    "QUIT\n");
    }
}

// A server that takes no data for a while: the client's writes, several
// records handed to the socket together, are taken only in part and
// finished later; the file still arrives whole and ends with close_notify.
TEST_F(Tls, AnUploadToASlowReaderArrivesWhole) {
    const std::string whyNot = whyNoTlsResumption();
    TlsServer server("slow_reader", !whyNot.empty());
    const std::int32_t session = connectTls(server);
    ASSERT_GT(session, 0) << talven::ftpLastReplyCode() << " " << talven::ftpLastReplyText() << "\n" << server.log();
    const std::size_t size = (12 << 20) + 12345;  // more than the sockets hold
    writeFile(server.file("up.bin"), patternedBytes(size));
    EXPECT_EQ(talven::ftpPutFile(session, -1, "up.bin", server.file("up.bin")), 1);
    expectLastStatus(226, "Transfer complete.");
    talven::ftpQuit(session);
    EXPECT_NE(server.log().find("close_notify " + std::to_string(size) + "\n"), std::string::npos) << server.log();
}

// Faults of one server each: what the client gives back, with the session
// open or not as the last column says.
TEST_F(Tls, ServerFaultsFailAsTheyShould) {
    struct Case {
        const char* scenario;
        bool pinned;
        bool upload;  // else a download
        std::int32_t result;
        std::int32_t code;
        const char* text;
    };
    const Case cases[] = {
        // A self-signed certificate, accepted through its fingerprint.
        {"pinned", true, true, 1, 226, "Transfer complete."},
        // The server asks for a client certificate but takes none.
        {"client_cert_asked", false, true, 1, 226, "Transfer complete."},
        // The data connection is not resumed: the server refuses it.
        {"not_resumed", false, true, 0, 522, "SSL connection failed: session reuse required"},
        // A download whose data connection closes without close_notify.
        {"no_close_notify", false, false, 0, 85, "Data Connection Cut Short"},
        // A download whose TLS records come a byte at a time, never one
        // whole within a wait: the data connection stalls.
        {"trickled_data", false, false, 0, 24, "Data Connection Timed Out"},
        // A download with an empty record among its data: only close_notify
        // ends it, and the whole file arrives.
        {"empty_record", false, false, 1, 226, "Transfer complete."},
        // The data's last record and close_notify in one send, the socket
        // closed at once: nothing of it is lost.
        {"close_at_once", false, false, 1, 226, "Transfer complete."},
        // The 226 comes with the 150, before the data connection's
        // handshake: it confirms the data still to be read, not ends it.
        {"early_completion", false, false, 1, 226, "Transfer complete."},
        // The data connection's handshake comes before the 150 (ftp-srv).
        {"handshake_first", false, true, 1, 226, "Transfer complete."},
        {"handshake_first", false, false, 1, 226, "Transfer complete."},
        // A refusal ends the transfer as it comes, and is the reason when
        // the server closed the data connection for it before its handshake.
        {"refused", false, false, 0, 550, "No such file."},
    };
    const std::string whyNot = whyNoTlsResumption();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        if (std::string(c.scenario) == "not_resumed" && !whyNot.empty()) {
            std::cout << "Left out " << c.scenario << ": " << whyNot << "\n";
            continue;
        }
        TlsServer server(c.scenario, !whyNot.empty());
        const std::int32_t session = connectTls(server, c.pinned ? server.pin() : "");
        ASSERT_GT(session, 0) << talven::ftpLastReplyCode() << " " << talven::ftpLastReplyText() << "\n" << server.log();
        const std::string local = server.file("local.bin");
        writeFile(local, "old");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.upload ? talven::ftpPutFile(session, -1, "f", local) : talven::ftpGetFile(session, -1, "f", local),
                  c.result);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
        expectLastStatus(c.code, c.text);
        if (c.result == 0) {
            EXPECT_EQ(readFile(local), "old");
        } else if (!c.upload) {
            EXPECT_EQ(readFile(local).size(), 100000u);
        }
        talven::ftpQuit(session);
    }
}

// Every point where a transfer can stall, in clear and over TLS: each costs
// one wait in all (a second here), never two, and loses the session, whose
// reply would otherwise come late and pass for the next command's. Each row
// is a case of its own, so that the rows' waits pass side by side.
enum Operation { upload, download, listing };
struct StallCase {
    const char* scenario;
    bool tls;
    Operation operation;
    std::int32_t code;
};
const StallCase kStalls[] = {
    {"stall_go_ahead", false, upload, 91},
    {"stall_go_ahead", true, listing, 91},
    {"stall_handshake", true, upload, 24},
    {"stall_handshake", true, download, 24},
    {"stall_handshake", true, listing, 24},
    {"stall_mid_data", false, upload, 24},
    {"stall_mid_data", true, upload, 24},
    {"stall_mid_data", false, download, 24},
    {"stall_mid_data", true, download, 24},
    {"stall_mid_data", false, listing, 24},
    {"stall_mid_data", true, listing, 24},
    {"stall_mid_line", false, listing, 24},
    {"stall_mid_line", true, listing, 24},
    {"stall_after_close_notify", false, upload, 91},
    {"stall_after_close_notify", true, upload, 91},
    {"stall_completion", false, download, 91},
    {"stall_completion", true, download, 91},
    {"stall_completion", true, upload, 91},
    {"stall_completion", false, listing, 91},
    {"stall_completion", true, listing, 91},
};

class TlsStall : public Tls, public ::testing::WithParamInterface<StallCase> {};

TEST_P(TlsStall, CostsOneWait) {
    const StallCase& c = GetParam();
    TlsServer server(c.scenario, true);
    const std::int32_t session =
        c.tls ? connectTls(server) : talven::ftpConnectToPort("127.0.0.1", server.port(), "anonymous", "");
    ASSERT_GT(session, 0) << talven::ftpLastReplyCode() << " " << talven::ftpLastReplyText() << "\n" << server.log();
    const std::string local = server.file("local.bin");
    writeFile(local, c.operation == upload ? std::string(8 << 20, 'u') : "old");
    std::vector<std::string> lines;
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t result = c.operation == upload     ? talven::ftpPutFile(session, -1, "f", local)
                                : c.operation == download ? talven::ftpGetFile(session, -1, "f", local)
                                                          : talven::ftpGetList(session, lines);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, 0);
    EXPECT_GE(took, std::chrono::milliseconds(950));
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    expectLastStatus(c.code, c.code == 24 ? "Data Connection Timed Out" : "Control Connection Timed Out");
    if (c.operation == download) {
        EXPECT_EQ(readFile(local), "old");
    }
    // Lost: the next operation fails at once with the same status.
    EXPECT_EQ(talven::ftpCurDir(session), "");
    expectLastStatus(c.code, c.code == 24 ? "Data Connection Timed Out" : "Control Connection Timed Out");
    talven::ftpQuit(session);
}

std::string stallName(const ::testing::TestParamInfo<StallCase>& row) {
    const char* operations[] = {"upload", "download", "listing"};
    return std::string(row.param.scenario + std::strlen("stall_")) + (row.param.tls ? "_tls_" : "_clear_") +
           operations[row.param.operation];
}

INSTANTIATE_TEST_SUITE_P(EveryStallOfATransfer, TlsStall, ::testing::ValuesIn(kStalls), stallName);

}  // namespace
