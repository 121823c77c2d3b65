// Sending a local file on a stream (the upload's path to the socket), and
// asking whether a receive would wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "client_fixture.h"
#include "local_file.h"
#include "stream.h"

using namespace std::chrono_literals;
using namespace testftp;
using talven::errorNumber;
using talven::FileSendEnd;

namespace {

class FileSend : public ClientTest {
protected:
    std::int32_t openStream(ScriptedServer& server) {
        const std::int32_t number = talven::StreamFreeNumber();
        errorNumber = 0;
        talven::StreamOpen(number, "127.0.0.1", server.port(), kShortStreamTimeout);
        EXPECT_EQ(errorNumber, 0);
        return number;
    }
    std::int32_t openFile(const std::string& bytes) {
        const std::string path = scratch.file("source-" + std::to_string(++files_));
        writeFile(path, bytes);
        const std::int32_t number = talven::StreamFreeNumber();
        errorNumber = 0;
        talven::LocalFileOpenForReading(number, path);
        EXPECT_EQ(errorNumber, 0);
        return number;
    }

private:
    int files_ = 0;
};

}  // namespace

TEST_F(FileSend, SendsExactlyTheBytesFromTheFilePosition) {
    for (std::size_t size : {std::size_t{1}, std::size_t{8192}, std::size_t{65537}, std::size_t{6 << 20}}) {
        std::string received;
        ScriptedServer server([&](Peer& peer) { received = peer.readAll(); });
        const std::int32_t stream = openStream(server);
        const std::string bytes = patternedBytes(size + 10);
        const std::int32_t file = openFile(bytes);
        char skipped[10];
        ASSERT_EQ(talven::LocalFileRead(file, skipped, sizeof skipped), sizeof skipped);
        const talven::FileSendResult result = talven::StreamSendFile(stream, file, size);
        EXPECT_EQ(result.end, FileSendEnd::complete);
        EXPECT_EQ(result.sent, size);
        EXPECT_EQ(errorNumber, 0);
        talven::StreamClose(stream);
        talven::StreamClose(file);
        server.transcript();
        EXPECT_EQ(received, bytes.substr(10)) << size;
    }
}

TEST_F(FileSend, AFileShorterThanAskedEndsEarlyWithWhatItHad) {
    std::string received;
    ScriptedServer server([&](Peer& peer) { received = peer.readAll(); });
    const std::int32_t stream = openStream(server);
    const std::int32_t file = openFile(patternedBytes(70000));
    const talven::FileSendResult result = talven::StreamSendFile(stream, file, 100000);
    EXPECT_EQ(result.end, FileSendEnd::fileEnded);
    EXPECT_EQ(result.sent, 70000u);
    EXPECT_EQ(errorNumber, 0);
    talven::StreamClose(stream);
    talven::StreamClose(file);
    server.transcript();
    EXPECT_EQ(received, patternedBytes(70000));
}

TEST_F(FileSend, NumbersThatNameNoStreamOrNoFile) {
    ScriptedServer server([](Peer& peer) { peer.waitForClose(); });
    const std::int32_t stream = openStream(server);
    const std::int32_t file = openFile("abc");
    EXPECT_EQ(talven::StreamSendFile(file, file, 3).end, FileSendEnd::streamFailed);
    EXPECT_EQ(errorNumber, 54);
    errorNumber = 0;
    EXPECT_EQ(talven::StreamSendFile(talven::StreamFreeNumber(), file, 3).end, FileSendEnd::streamFailed);
    EXPECT_EQ(errorNumber, 52);
    errorNumber = 0;
    EXPECT_EQ(talven::StreamSendFile(stream, stream, 3).end, FileSendEnd::fileFailed);
    EXPECT_EQ(errorNumber, 52);
    errorNumber = 0;
    talven::StreamClose(stream);
    talven::StreamClose(file);
}

TEST_F(FileSend, APeerThatNeverReadsTimesOutAfterAPart) {
    std::atomic<bool> done = false;
    // The peer stays, reading nothing, until the client has given up.
    ScriptedServer server([&](Peer& peer) {
        peer.shrinkBuffers();
        for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(50ms);
    });
    const std::int32_t stream = openStream(server);
    const std::int32_t file = openFile(patternedBytes(64 << 20));
    const talven::FileSendResult result = talven::StreamSendFile(stream, file, 64 << 20);
    done = true;
    EXPECT_EQ(result.end, FileSendEnd::streamFailed);
    EXPECT_EQ(errorNumber, 24);
    EXPECT_LT(result.sent, 64u << 20);
    errorNumber = 0;
    talven::StreamClose(stream);
    talven::StreamClose(file);
}

// Also: no signal ends the process when the peer has gone.
TEST_F(FileSend, APeerThatHasGoneFailsTheStream) {
    // The reset comes after the connect, which would otherwise see it.
    ScriptedServer server([](Peer& peer) {
        peer.readLine();
        peer.reset();
    });
    const std::int32_t stream = openStream(server);
    talven::StreamSendLine(stream, "go");
    server.transcript();
    std::this_thread::sleep_for(100ms);
    const std::int32_t file = openFile(patternedBytes(8 << 20));
    talven::FileSendResult result;
    for (int i = 0; i < 3 && result.end == FileSendEnd::complete; ++i)
        result = talven::StreamSendFile(stream, file, 1 << 20);
    EXPECT_EQ(result.end, FileSendEnd::streamFailed);
    EXPECT_EQ(errorNumber, 57);
    errorNumber = 0;
    talven::StreamClose(stream);
    talven::StreamClose(file);
}

TEST_F(FileSend, AReceiveIsReadyOnceEnoughIsBufferedOrThePeerHasClosed) {
    ScriptedServer server([](Peer& peer) {
        peer.readLine();
        peer.send(std::string(10000, 'x'));
        peer.readLine();
        peer.close();
    });
    const std::int32_t stream = openStream(server);
    EXPECT_FALSE(talven::StreamReceiveReady(stream, 1));
    talven::StreamSendLine(stream, "go");
    char bytes[8192];
    EXPECT_EQ(talven::StreamReceive(stream, bytes, 1), 1u);
    // What that receive brought beyond the one byte stays buffered.
    EXPECT_FALSE(talven::StreamReceiveReady(stream, 10000));
    std::size_t taken = 1;
    while (talven::StreamReceiveReady(stream, 1)) taken += talven::StreamReceive(stream, bytes, 1);
    EXPECT_LE(taken, 10000u);
    talven::StreamSendLine(stream, "bye");
    while (talven::StreamReceive(stream, bytes, sizeof bytes) > 0) {
    }
    EXPECT_TRUE(talven::StreamReceiveReady(stream, 8192)) << "the peer has closed: nothing to wait for";
    EXPECT_TRUE(talven::StreamReceiveReady(talven::StreamFreeNumber(), 1)) << "no stream: nothing to wait for";
    talven::StreamClose(stream);
}
