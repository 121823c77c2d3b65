// The passive data channel: PASV replies, the port, and chunks.
#include <gtest/gtest.h>

#include "client_fixture.h"
#include "stream.h"

using namespace testftp;

namespace {

std::string group(std::uint16_t port, const std::string& address = "192,0,2,20") {
    return address + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

struct PasvOutcome {
    std::int32_t data;
    bool connected;  // the client connected to the listener
    std::string sent;
};

const std::string kNoDataConnection = "Unable to open data connection";

class Passive : public SessionTest {
protected:
    // Opens a data channel on a session whose server answers with reply.
    PasvOutcome pasv(const std::string& reply, Listener& listener) {
        PasvOutcome outcome{-1, false, ""};
        outcome.sent = onSession(
            [&](Peer& control) {
                answer(control, reply);
                outcome.connected = listener.accept(500).connected();
            },
            [&](std::int32_t session) {
                outcome.data = talven::ftpOpenDataChannel(session);
                if (outcome.data != -1) talven::StreamClose(outcome.data);
            });
        return outcome;
    }
};

}  // namespace

TEST_F(Passive, ConnectsToTheControlConnectionsAddressAtThePortOfTheReply) {
    Listener listener;
    const std::string reply = "227 Entering Passive Mode (" + group(listener.port()) + ")";
    PasvOutcome outcome = pasv(reply, listener);
    EXPECT_GT(outcome.data, 0);
    EXPECT_TRUE(outcome.connected);
    EXPECT_EQ(outcome.sent, "PASV\r\nQUIT\r\n");
    expectStatus(227, reply.substr(4));
}

// EPSV on an IPv6 session: a 229 that names no port gives a built status and
// no connection, any other reply but 500, 501 or 502 is a refusal.
TEST_F(Passive, AnIPv6SessionUsesEpsv) {
    serverAddress = "::1";
    Listener listener("::1");
    const std::pair<std::string, bool> cases[] = {
        {listener.epsvReply(), true},
        {"229 Entering Extended Passive Mode (|||" + std::to_string(listener.port()) + "!)", false},
        {listener.pasvReply(), false},
    };
    for (const auto& [reply, connects] : cases) {
        PasvOutcome outcome = pasv(reply, listener);
        EXPECT_EQ(outcome.data > 0, connects) << reply;
        EXPECT_EQ(outcome.connected, connects) << reply;
        EXPECT_EQ(outcome.sent, "EPSV\r\nQUIT\r\n");
        if (reply.compare(0, 3, "229") == 0 && !connects) expectStatus(57, kNoDataConnection);
        else expectStatus(talven::ftpReplyCode(reply), reply.substr(4));
    }
}

// A server that does not know EPSV gets PASV, whose port is taken with the
// control connection's address (not the one it names); the session sends
// PASV at once from then on. A new session tries EPSV again.
TEST_F(Passive, AnIPv6SessionFallsBackToPasvWhenEpsvIsUnknown) {
    serverAddress = "::1";
    Listener listener("::1");
    for (const std::string refusal : {"500 Unknown command.", "501 Not in IPv6", "502 EPSV not implemented"}) {
        std::int32_t data[2] = {-1, -1};
        bool connected[2] = {false, false};
        const std::string sent = onSession(
            [&](Peer& control) {
                answer(control, refusal);
                for (bool& accepted : connected) {
                    answer(control, listener.pasvReply());
                    accepted = listener.accept(500).connected();
                }
            },
            [&](std::int32_t session) {
                for (std::int32_t& opened : data) {
                    opened = talven::ftpOpenDataChannel(session);
                    if (opened != -1) talven::StreamClose(opened);
                }
            });
        EXPECT_TRUE(data[0] > 0 && data[1] > 0 && connected[0] && connected[1]) << refusal;
        EXPECT_EQ(sent, "EPSV\r\nPASV\r\nPASV\r\nQUIT\r\n");
        expectStatus(227, listener.pasvReply().substr(4));
    }
}

TEST_F(Passive, PortNumbersKeepTheirLowEightBitsAndMayHaveBlanks) {
    Listener listener;
    const std::uint16_t port = listener.port();
    const std::string spaced = "227 ok (192, 0, 2, 20, " + std::to_string(port / 256 + 256) + ", " +
                               std::to_string(port % 256) + ") trailing text (1,2,3)";
    EXPECT_TRUE(pasv(spaced, listener).connected);
    const std::string negative = "227 ok (1,2,3,4," + std::to_string(static_cast<int>(port / 256) - 256) + "," +
                                 std::to_string(port % 256) + ")";
    EXPECT_TRUE(pasv(negative, listener).connected);
    const std::string closingFirst = "227 ok )1,2,3,4," + std::to_string(port / 256) + "," + std::to_string(port % 256) + ")";
    EXPECT_TRUE(pasv(closingFirst, listener).connected);
    const std::string bare = "227 Entering Passive Mode " + group(port) + ".";  // no parentheses: scanned
    EXPECT_TRUE(pasv(bare, listener).connected);
    expectStatus(227, bare.substr(4));
}

// The port cannot be used or the connection cannot be made: the status says
// so, with the stream's error number, and not the 227 line.
TEST_F(Passive, FailsWithoutAUsableGroup) {
    Listener listener;
    const std::uint16_t port = listener.port();
    std::uint16_t closedPort = 0;
    testnet::closeSocket(testnet::listenLoopback(closedPort));
    const std::string replies[] = {
        "227 Entering (remark) Passive Mode (" + group(port) + ")",     // the remark is taken
        "227 Entering Passive Mode (1,2,3,4)",                          // too few numbers
        "227 Entering Passive Mode (a,b,c,d,e,f)",
        "227 Entering Passive Mode 1,2,3,4," + std::to_string(port / 256),  // five without parentheses
        "227 Entering Passive Mode (" + group(closedPort) + ")",        // nobody listens there
    };
    for (const std::string& reply : replies) {
        PasvOutcome outcome = pasv(reply, listener);
        EXPECT_EQ(outcome.data, -1) << reply;
        EXPECT_FALSE(outcome.connected) << reply;
        expectStatus(57, kNoDataConnection);
    }
}

TEST_F(Passive, ARefusedPasvAttemptsNoConnection) {
    Listener listener;
    PasvOutcome outcome = pasv("425 Can't open data connection (" + group(listener.port()) + ")", listener);
    EXPECT_EQ(outcome.data, -1);
    EXPECT_FALSE(outcome.connected);
    EXPECT_EQ(code, 425);
}

TEST_F(Passive, AMultiLine227IsReadWhole) {
    Listener listener;
    PasvOutcome outcome = pasv("227-Passive\r\n227 Go (" + group(listener.port()) + ")", listener);
    EXPECT_GT(outcome.data, 0);
    EXPECT_TRUE(outcome.connected);
}

TEST_F(Passive, ReceivesChunksOfAtMost8192Bytes) {
    Listener listener;
    std::thread sender([&] {
        Peer data = listener.accept();
        data.send(patternedBytes(20000));
        data.close();
    });
    std::int32_t data = talven::StreamFreeNumber();
    talven::StreamOpen(data, "127.0.0.1", listener.port(), kShortStreamTimeout);
    sender.join();
    std::string chunk, all;
    std::vector<std::int32_t> sizes;
    while (std::int32_t got = talven::ftpReceiveChunk(data, chunk)) {
        sizes.push_back(got);
        all += chunk;
    }
    EXPECT_EQ(sizes, (std::vector<std::int32_t>{8192, 8192, 3616}));
    EXPECT_EQ(all, patternedBytes(20000));
    talven::StreamClose(data);
}

TEST(PasvPort, FormsThePortFromTheLowBytesOfTheFifthAndSixthNumbers) {
    EXPECT_EQ(talven::ftpPasvPort("192,0,2,20,19,137"), 5001);
    EXPECT_EQ(talven::ftpPasvPort("198, 51, 100, 5, 4, 1"), 1025);
    EXPECT_EQ(talven::ftpPasvPort("1,2,3,4,256,10"), 10);
    EXPECT_EQ(talven::ftpPasvPort("1,2,3,4,-1,-1.5"), 65534);
    EXPECT_EQ(talven::ftpPasvPort("1,2,3,4,18446744073709551617,99999999999999999999999999"), 256 + 0xFF);
    EXPECT_EQ(talven::ftpPasvPort("1,2,3,4,19"), 19 * 256);
    EXPECT_EQ(talven::ftpPasvPort("1,2,3,4,x,y,5,6"), 0);
    EXPECT_EQ(talven::ftpPasvPort(""), 0);
}

TEST(PasvAddressText, TakesTheParenthesesOrScansForSixNumbers) {
    EXPECT_EQ(talven::ftpPasvAddressText("227 Mode (note) (1,2,3,4,5,6)"), "note");
    EXPECT_EQ(talven::ftpPasvAddressText("227 Entering Passive Mode 127,0,0,1,4,1"), "127,0,0,1,4,1");
    EXPECT_EQ(talven::ftpPasvAddressText("227 =1,2,3 and 9,8,7,6,5,4,3,2."), "9,8,7,6,5,4");
    EXPECT_EQ(talven::ftpPasvAddressText("227 Mode 1,2,3,4,5, 6"), "");
    EXPECT_EQ(talven::ftpPasvAddressText("227," + std::string(100000, '9')), "");
}

// Anything but "(" d d d port d ")" with one printable non-digit d and a port
// from 1 to 65535 names no port.
TEST(EpsvPort, TakesOnlyAWellFormedGroup) {
    const std::pair<std::string, std::uint16_t> cases[] = {
        {"229 Entering Extended Passive Mode (|||5001|)", 5001},
        {"229 ok (!!!65535!) trailing (|||1|)", 65535},
        {"229 ok (|||00080|)", 80},
        {"229 ok (|||5001!)", 0},    // wrong delimiter
        {"229 ok (||5001|)", 0},     // one missing
        {"229 ok (|1|2|5001|)", 0},  // fields EPSV leaves empty
        {"229 ok (111150011)", 0},   // a digit cannot delimit
        {"229 ok (|||0|)", 0},
        {"229 ok (|||65536|)", 0},
        {"229 ok (|||" + std::string(100000, '7'), 0},
        {"229 ok (|||5001|", 0},
        {"229 ok (||||)", 0},
        {"229 ok ()", 0},
        {"229 ok |||5001|", 0},
    };
    for (const auto& [reply, port] : cases) EXPECT_EQ(talven::ftpEpsvPort(reply), port) << reply.substr(0, 60);
}

TEST(AnnouncedSize, TakesTheFirstParenthesesAndNeverGoesBelowZero) {
    EXPECT_EQ(talven::ftpAnnouncedSize("150 Opening (20000 bytes) (99)"), 20000);
    EXPECT_EQ(talven::ftpAnnouncedSize("150 Opening (1099511627776 bytes)"), 1099511627776);
    EXPECT_EQ(talven::ftpAnnouncedSize("150 Opening (-5 bytes)"), 0);
    EXPECT_EQ(talven::ftpAnnouncedSize("150 Opening (99999999999999999999999)"), INT64_MAX);
    EXPECT_EQ(talven::ftpAnnouncedSize("150 19.5 kbytes to download"), 0);
    EXPECT_EQ(talven::ftpAnnouncedSize("150 )7("), 7);  // a parenthesis of either kind
}
