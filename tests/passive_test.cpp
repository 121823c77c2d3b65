// The passive data channel: PASV replies, the port, and chunks.
#include <gtest/gtest.h>

#include "client_fixture.h"
#include "stream.h"

using namespace testftp;

namespace {

class Passive : public ClientTest {};

std::string group(std::uint16_t port, const std::string& address = "192,0,2,20") {
    return address + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

// Sends PASV on a session whose server answers with reply; true when the
// client connected to listener.
struct PasvOutcome {
    std::int32_t data;
    bool connected;
};

PasvOutcome pasv(const std::string& reply, Listener& listener) {
    bool connected = false;
    ScriptedServer server([&](Peer& control) {
        greetAndLogIn(control);
        answer(control, reply);
        connected = listener.accept(500).connected();
        serveQuit(control);
    });
    std::int32_t session = connectTo(server);
    std::int32_t data = talven::ftpOpenDataChannel(session, talven::sessionHost(session));
    std::int32_t code = talven::ftpLastReplyCode();
    std::string text = talven::ftpLastReplyText();
    if (data != -1) talven::StreamClose(data);
    talven::ftpQuit(session);
    server.transcript();
    talven::ftpRecordBuiltStatus(code, text);
    return {data, connected};
}

}  // namespace

TEST_F(Passive, ConnectsToTheSessionHostAtThePortOfTheReply) {
    Listener listener;
    const std::string reply = "227 Entering Passive Mode (" + group(listener.port()) + ")";
    PasvOutcome outcome = pasv(reply, listener);
    EXPECT_GT(outcome.data, 0);
    EXPECT_TRUE(outcome.connected);
    expectLastStatus(227, reply.substr(4));
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
}

TEST_F(Passive, FailsWithoutAUsableGroup) {
    Listener listener;
    const std::uint16_t port = listener.port();
    const std::string replies[] = {
        "227 Entering Passive Mode " + group(port),                     // no parentheses: port 0
        "227 Entering (remark) Passive Mode (" + group(port) + ")",     // the remark is taken
        "227 Entering Passive Mode (1,2,3,4)",                          // too few numbers
        "227 Entering Passive Mode (a,b,c,d,e,f)",
    };
    for (const std::string& reply : replies) {
        PasvOutcome outcome = pasv(reply, listener);
        EXPECT_EQ(outcome.data, -1) << reply;
        EXPECT_FALSE(outcome.connected) << reply;
        expectLastStatus(227, reply.substr(4));
    }
}

TEST_F(Passive, ARefusedPasvAttemptsNoConnection) {
    Listener listener;
    PasvOutcome outcome = pasv("425 Can't open data connection (" + group(listener.port()) + ")", listener);
    EXPECT_EQ(outcome.data, -1);
    EXPECT_FALSE(outcome.connected);
    EXPECT_EQ(talven::ftpLastReplyCode(), 425);
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
