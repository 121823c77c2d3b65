// The TCP stream layer against plain loopback peers, with short waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "local_file.h"
#include "scripted_server.h"
#include "stream.h"

using namespace std::chrono_literals;
using talven::errorNumber;
using testftp::Peer;
using testftp::ScriptedServer;

namespace {

// T = 1024 waits exactly one second.
constexpr std::uint32_t kOneSecond = 1024;

std::int32_t openTo(ScriptedServer& server, std::uint32_t timeout = kOneSecond) {
    std::int32_t number = talven::StreamFreeNumber();
    errorNumber = 0;
    talven::StreamOpen(number, "127.0.0.1", server.port(), timeout);
    EXPECT_EQ(errorNumber, 0);
    return number;
}

std::string receive(std::int32_t number, std::int32_t count) {
    std::string bytes(static_cast<std::size_t>(std::max(count, 0)), '\0');
    bytes.resize(talven::StreamReceive(number, bytes.data(), count));
    return bytes;
}

bool isOpen(std::int32_t number) {
    auto open = talven::openConnectionNumbers();
    return std::find(open.begin(), open.end(), number) != open.end();
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(StreamWaitTime, ShiftsTheRemainderByTwentyBits) {
    auto w = talven::streamWaitTime(60);
    EXPECT_EQ(w.seconds, 62u);
    EXPECT_EQ(w.microseconds, 914560u);
    w = talven::streamWaitTime(1024);
    EXPECT_EQ(w.seconds, 1u);
    EXPECT_EQ(w.microseconds, 0u);
    w = talven::streamWaitTime(1023);
    EXPECT_EQ(w.seconds, 1072u);
    EXPECT_EQ(w.microseconds, 693248u);
    w = talven::streamWaitTime(4294967295u);
    EXPECT_EQ(w.seconds, 4195375u);
    EXPECT_EQ(w.microseconds, 693248u);
}

TEST(StreamReadLine, DropsEveryCarriageReturnAndEndsAtLineFeed) {
    ScriptedServer server([](Peer& peer) {
        peer.send("xyz\r\n");
        peer.send("x\ry\r\n");
        peer.send("xyz\n\r\n");
        peer.readLine();
    });
    std::int32_t stream = openTo(server);
    EXPECT_EQ(talven::StreamReadLine(stream), "xyz");
    EXPECT_EQ(talven::StreamReadLine(stream), "xy");
    EXPECT_EQ(talven::StreamReadLine(stream), "xyz");
    EXPECT_EQ(talven::StreamReadLine(stream), "");
    EXPECT_EQ(errorNumber, 0);
    talven::StreamSendLine(stream, "done");
    talven::StreamClose(stream);
}

TEST(StreamReadLine, ServesSeveralLinesOfOneSegmentInOrder) {
    ScriptedServer server([](Peer& peer) {
        peer.send("first\r\nsecond\r\nthird");
        peer.close();
    });
    std::int32_t stream = openTo(server);
    EXPECT_EQ(talven::StreamReadLine(stream), "first");
    EXPECT_EQ(talven::StreamReadLine(stream), "second");
    EXPECT_EQ(talven::StreamReadLine(stream), "third");
    EXPECT_EQ(errorNumber, 0);
    talven::StreamClose(stream);
}

TEST(StreamReadLine, ReturnsTheRestAtThePeersCloseThenEmptyTextsAtOnce) {
    ScriptedServer server([](Peer& peer) {
        peer.send("xyz");
        peer.close();
    });
    std::int32_t stream = openTo(server);
    EXPECT_EQ(talven::StreamReadLine(stream), "xyz");
    EXPECT_EQ(errorNumber, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(talven::StreamReadLine(stream), "");
    EXPECT_EQ(talven::StreamReadLine(stream), "");
    EXPECT_EQ(errorNumber, 0);
    EXPECT_LT(secondsSince(start), 1.0);  // a wait would take a second each
    EXPECT_TRUE(talven::StreamEnded(stream));
    EXPECT_TRUE(isOpen(stream));
    talven::StreamClose(stream);
    EXPECT_FALSE(isOpen(stream));
}

TEST(StreamReadLine, RecordsTimeoutWhenNothingArrivesAndStaysUsable) {
    ScriptedServer server([](Peer& peer) {
        std::this_thread::sleep_for(1500ms);
        peer.send("late\r\n");
        peer.readLine();
    });
    std::int32_t stream = openTo(server);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(talven::StreamReadLine(stream), "");
    EXPECT_EQ(errorNumber, 24);
    EXPECT_GE(secondsSince(start), 0.9);
    errorNumber = 0;
    EXPECT_EQ(talven::StreamReadLine(stream), "late");
    EXPECT_EQ(errorNumber, 0);
    talven::StreamSendLine(stream, "bye");
    talven::StreamClose(stream);
}

TEST(StreamReadLine, ReturnsHalfALineWithoutErrorWhenTheRestIsLate) {
    ScriptedServer server([](Peer& peer) {
        peer.send("half");
        std::this_thread::sleep_for(1500ms);
        peer.send(" rest\r\n");
        peer.readLine();
    });
    std::int32_t stream = openTo(server);
    EXPECT_EQ(talven::StreamReadLine(stream), "half");
    EXPECT_EQ(errorNumber, 0);
    EXPECT_FALSE(talven::StreamLastLine(stream).ended);
    EXPECT_EQ(talven::StreamReadLine(stream), " rest");
    EXPECT_TRUE(talven::StreamLastLine(stream).ended);
    talven::StreamSendLine(stream, "bye");
    talven::StreamClose(stream);
}

TEST(StreamReadLine, CutsLinesAtTheCapacityOf65536Bytes) {
    ScriptedServer server([](Peer& peer) {
        peer.send(std::string(70000, 'a') + "\n");
        peer.send(std::string(65535, 'b') + "\n");
        peer.send(std::string(65536, 'c') + "\n");
        peer.send(std::string(65535, 'd') + "\r\n");
        peer.readLine();
    });
    std::int32_t stream = openTo(server);
    EXPECT_EQ(talven::StreamReadLine(stream), std::string(65536, 'a'));
    EXPECT_TRUE(talven::StreamLastLine(stream).cut);
    EXPECT_EQ(talven::StreamLastLine(stream).bytes, 65536u);
    EXPECT_EQ(talven::StreamReadLine(stream), std::string(4464, 'a'));
    EXPECT_FALSE(talven::StreamLastLine(stream).cut);
    EXPECT_EQ(talven::StreamLastLine(stream).bytes, 4465u);
    EXPECT_EQ(talven::StreamReadLine(stream), std::string(65535, 'b'));
    EXPECT_FALSE(talven::StreamLastLine(stream).cut);
    EXPECT_EQ(talven::StreamReadLine(stream), std::string(65536, 'c'));
    EXPECT_TRUE(talven::StreamLastLine(stream).cut);
    EXPECT_EQ(talven::StreamReadLine(stream), "");
    // The CR counts against the capacity, so the LF is left for the next call.
    EXPECT_EQ(talven::StreamReadLine(stream), std::string(65535, 'd'));
    EXPECT_TRUE(talven::StreamLastLine(stream).cut);
    EXPECT_EQ(talven::StreamReadLine(stream), "");
    EXPECT_FALSE(talven::StreamLastLine(stream).cut);
    EXPECT_EQ(errorNumber, 0);
    talven::StreamSendLine(stream, "bye");
    talven::StreamClose(stream);
}

TEST(StreamReadLine, TellsHowManyBytesTheLastLineTookDroppedOnesIncluded) {
    ScriptedServer server([](Peer& peer) {
        peer.send("x\r\r\r\ny\n\r\r\n");
        peer.readLine();
    });
    std::int32_t stream = openTo(server);
    EXPECT_EQ(talven::StreamLastLine(stream).bytes, 0u);
    EXPECT_EQ(talven::StreamReadLine(stream), "x");
    EXPECT_EQ(talven::StreamLastLine(stream).bytes, 5u);
    EXPECT_EQ(talven::StreamReadLine(stream), "y");
    EXPECT_EQ(talven::StreamLastLine(stream).bytes, 2u);
    EXPECT_EQ(talven::StreamReadLine(stream), "");
    EXPECT_EQ(talven::StreamLastLine(stream).bytes, 3u);
    EXPECT_EQ(talven::StreamLastLine(-1).bytes, 0u);
    talven::StreamSendLine(stream, "bye");
    talven::StreamClose(stream);
}

TEST(StreamReceive, HandsOutBufferedBytesThenReceivesOnceMore) {
    ScriptedServer server([](Peer& peer) {
        peer.send(std::string(20000, 'r'));
        std::this_thread::sleep_for(300ms);
        peer.close();
    });
    std::int32_t stream = openTo(server);
    std::this_thread::sleep_for(150ms);  // all 20000 bytes wait in the socket
    EXPECT_EQ(receive(stream, 8192).size(), 8192u);
    EXPECT_EQ(receive(stream, 8192).size(), 8192u);
    EXPECT_EQ(receive(stream, 8192).size(), 3616u);
    EXPECT_EQ(receive(stream, 8192).size(), 0u);
    EXPECT_EQ(errorNumber, 0);
    talven::StreamClose(stream);
}

TEST(StreamReceive, NeverWaitsToFillTheCount) {
    ScriptedServer server([](Peer& peer) {
        peer.send("abc");
        std::this_thread::sleep_for(1500ms);
        peer.send("def");
        peer.close();
    });
    std::int32_t stream = openTo(server, 4 * kOneSecond);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receive(stream, 8192), "abc");
    EXPECT_LT(secondsSince(start), 1.4);  // "def" comes 1.5 s later
    EXPECT_EQ(receive(stream, 8192), "def");
    EXPECT_EQ(receive(stream, 8192), "");
    EXPECT_EQ(errorNumber, 0);
    talven::StreamClose(stream);
}

TEST(StreamReceive, CountZeroAndNegativeCount) {
    ScriptedServer server([](Peer& peer) { peer.readLine(); });
    std::int32_t stream = openTo(server);
    EXPECT_EQ(receive(stream, 0), "");
    EXPECT_EQ(errorNumber, 0);
    EXPECT_EQ(receive(stream, -1), "");
    EXPECT_EQ(errorNumber, 7);
    errorNumber = 0;
    talven::StreamSendLine(stream, "bye");
    talven::StreamClose(stream);
}

TEST(StreamReceive, RecordsTimeoutWhenNothingArrives) {
    ScriptedServer server([](Peer& peer) { peer.readLine(3000); });
    std::int32_t stream = openTo(server);
    EXPECT_EQ(receive(stream, 8192), "");
    EXPECT_EQ(errorNumber, 24);
    errorNumber = 0;
    talven::StreamSendLine(stream, "bye");
    talven::StreamClose(stream);
}

TEST(StreamSend, PutsLinesOnTheWireWithCrLf) {
    ScriptedServer server([](Peer& peer) { peer.waitForClose(); });
    std::int32_t stream = openTo(server);
    talven::StreamSendLine(stream, "PASV");
    talven::StreamSend(stream, "");
    talven::StreamSend(stream, "raw");
    EXPECT_EQ(errorNumber, 0);
    talven::StreamClose(stream);
    EXPECT_EQ(server.transcript(), "PASV\r\nraw");
}

TEST(StreamSend, RecordsTimeoutWhenThePeerNeverReads) {
    std::atomic<bool> done = false;
    // The peer stays, reading nothing, until the client has given up: a fixed
    // stay could end first on a busy machine, and the send would fail with 57.
    ScriptedServer server([&](Peer& peer) {
        peer.shrinkBuffers();
        for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(50ms);
    });
    std::int32_t stream = openTo(server);
    std::string big(64 << 20, 'x');
    talven::StreamSend(stream, big);
    done = true;
    EXPECT_EQ(errorNumber, 24);
    errorNumber = 0;
    talven::StreamClose(stream);
}

TEST(StreamSend, SurvivesAPeerThatHasGone) {
    // The reset comes after the connect, which would otherwise see it.
    ScriptedServer server([](Peer& peer) {
        peer.readLine();
        peer.reset();
    });
    std::int32_t stream = openTo(server);
    talven::StreamSendLine(stream, "go");
    server.transcript();  // the peer has reset the connection
    std::this_thread::sleep_for(100ms);
    for (int i = 0; i < 3 && errorNumber == 0; ++i) talven::StreamSend(stream, std::string(100000, 'x'));
    EXPECT_EQ(errorNumber, 57);
    errorNumber = 0;
    talven::StreamClose(stream);
}

// The peer of a closed stream sees the end of the data; the peer of an
// aborted one sees the connection broken off, whatever was sent before.
TEST(StreamClose, EndsInOrderWhereStreamAbortBreaksOff) {
    if (!testnet::closeCanReset()) GTEST_SKIP() << "closing a socket here always ends the connection in order";
    for (bool abort : {false, true}) {
        bool brokenOff = !abort;
        ScriptedServer server([&](Peer& peer) {
            peer.readAll();
            brokenOff = peer.brokenOff();
        });
        std::int32_t stream = openTo(server);
        talven::StreamSend(stream, std::string(100000, 'x'));
        abort ? talven::StreamAbort(stream) : talven::StreamClose(stream);
        EXPECT_FALSE(isOpen(stream));
        server.transcript();
        EXPECT_EQ(brokenOff, abort) << (abort ? "aborted" : "closed");
    }
}

TEST(StreamOpen, RefusesANumberThatIsOpenAndLeavesItAlone) {
    ScriptedServer server([](Peer& peer) {
        peer.send("still here\r\n");
        peer.readLine();
    });
    std::int32_t stream = openTo(server);
    talven::StreamOpen(stream, "127.0.0.1", server.port(), kOneSecond);
    EXPECT_EQ(errorNumber, 55);
    errorNumber = 0;
    EXPECT_EQ(talven::StreamReadLine(stream), "still here");
    talven::StreamSendLine(stream, "bye");
    talven::StreamClose(stream);
}

// Another thread's open is not held up by a connect that hangs (a port whose
// queue is full drops the handshake), and may even take the same number: the
// connect that ends later then finds it open, records 55 and leaves it alone.
TEST(StreamOpen, AThreadWhoseConnectHangsHoldsUpNoOtherAndYieldsANumberOpenedMeanwhile) {
    std::uint16_t fullPort = 0;
    testnet::Handle full = testnet::listenLoopback(fullPort, "127.0.0.1", 0);
    Peer queued(testnet::connectLoopback(fullPort));
    const std::int32_t number = talven::StreamFreeNumber();
    std::int32_t hangingError = -1;
    std::thread hanging([&] {
        // Longer than the handshake's first retry, which gets through once
        // the queue has room again.
        talven::StreamOpen(number, "127.0.0.1", fullPort, 4 * kOneSecond);
        hangingError = errorNumber;
    });
    std::this_thread::sleep_for(100ms);

    ScriptedServer server([](Peer& peer) {
        peer.send("still here\r\n");
        peer.readLine();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_GT(talven::StreamFreeNumber(), number);
    errorNumber = 0;
    talven::StreamOpen(number, "127.0.0.1", server.port(), kOneSecond);
    EXPECT_EQ(errorNumber, 0);
    EXPECT_LT(secondsSince(start), 0.5);

    Peer taken(testnet::acceptWithin(full, 1000));  // the queue has room again
    hanging.join();
    testnet::closeSocket(full);
    EXPECT_EQ(hangingError, 55);
    EXPECT_EQ(errorNumber, 0);
    EXPECT_EQ(talven::StreamReadLine(number), "still here");
    talven::StreamSendLine(number, "bye");
    talven::StreamClose(number);
    EXPECT_FALSE(isOpen(number));
}

TEST(StreamOpen, FailuresLeaveTheNumberFree) {
    std::int32_t number = talven::StreamFreeNumber();
    errorNumber = 0;
    talven::StreamOpen(number, "", 21, kOneSecond);  // a name that never resolves
    EXPECT_EQ(errorNumber, 57);
    EXPECT_FALSE(isOpen(number));

    std::uint16_t closedPort = 0;
    testnet::Handle listener = testnet::listenLoopback(closedPort);
    testnet::closeSocket(listener);
    errorNumber = 0;
    talven::StreamOpen(number, "127.0.0.1", closedPort, kOneSecond);
    EXPECT_EQ(errorNumber, 57);
    EXPECT_FALSE(isOpen(number));

    errorNumber = 0;
    talven::StreamOpen(number, std::string("127.0.0.1\0.example", 18), closedPort, kOneSecond);
    EXPECT_EQ(errorNumber, 57);

    errorNumber = 0;
    talven::StreamOpen(-1, "127.0.0.1", closedPort, kOneSecond);
    EXPECT_EQ(errorNumber, 52);
    errorNumber = 0;
}

// Both families; a connect that gets no answer ends with the stream's wait.
TEST(StreamOpen, ConnectsOverIPv4AndIPv6WithinTheWait) {
    for (const char* address : {"127.0.0.1", "::1"}) {
        ScriptedServer server([](Peer& peer) { peer.readLine(); }, 0, address);
        const std::int32_t number = talven::StreamFreeNumber();
        errorNumber = 0;
        talven::StreamOpen(number, address, server.port(), kOneSecond);
        EXPECT_EQ(errorNumber, 0) << address;
        EXPECT_EQ(talven::StreamPeerAddress(number), address);
        talven::StreamSendLine(number, "hello");
        talven::StreamClose(number);
        EXPECT_EQ(server.transcript(), "hello\r\n");
    }
    // A listener whose queue is full lets the client's connection wait unanswered.
    std::uint16_t port = 0;
    const testnet::Handle listener = testnet::listenLoopback(port, "127.0.0.1", 0);
    const testnet::Handle queued = testnet::connectLoopback(port);
    const std::int32_t number = talven::StreamFreeNumber();
    errorNumber = 0;
    const auto start = std::chrono::steady_clock::now();
    talven::StreamOpen(number, "127.0.0.1", port, kOneSecond);
    EXPECT_EQ(errorNumber, 24);
    EXPECT_LT(secondsSince(start), 5.0);
    EXPECT_FALSE(isOpen(number));
    errorNumber = 0;
    talven::StreamOpen(number, "127.0.0.1", 0, kOneSecond);  // port 0 names no service
    EXPECT_EQ(errorNumber, 57);
    errorNumber = 0;
    testnet::closeSocket(queued);
    testnet::closeSocket(listener);
}

TEST(StreamNumbers, FreeNumbersCountUpAndSkipOpenOnes) {
    std::int32_t first = talven::StreamFreeNumber();
    std::int32_t second = talven::StreamFreeNumber();
    EXPECT_EQ(second, first == talven::kHighestConnectionNumber ? 1 : first + 1);

    ScriptedServer server([](Peer& peer) { peer.waitForClose(); });
    std::int32_t stream = openTo(server);
    // Walk the counter round until it meets the open number again.
    for (std::int32_t i = 0; i < talven::kHighestConnectionNumber - 1; ++i) EXPECT_NE(talven::StreamFreeNumber(), stream);
    talven::StreamClose(stream);
}

TEST(StreamNumbers, OperationsOnNumbersThatNameNoStream) {
    for (std::int32_t number : {-5, 0, 40000, talven::StreamFreeNumber()}) {
        errorNumber = 0;
        talven::StreamSend(number, "x");
        EXPECT_EQ(errorNumber, 52) << number;
        errorNumber = 0;
        EXPECT_EQ(talven::StreamReadLine(number), "");
        EXPECT_EQ(errorNumber, 52);
        errorNumber = 0;
        EXPECT_EQ(receive(number, 10), "");
        EXPECT_EQ(errorNumber, 52);
        errorNumber = 0;
        talven::StreamClose(number);
        talven::StreamClose(number);
        EXPECT_EQ(errorNumber, 0);
    }
}

TEST(StreamNumbers, LocalFilesShareTheNumberSpaceButAreNotStreams) {
    auto path = std::filesystem::temp_directory_path() / "talven-stream-test-file";
    std::ofstream(path) << "content";
    std::int32_t file = talven::StreamFreeNumber();
    errorNumber = 0;
    talven::LocalFileOpenForReading(file, path.string());
    ASSERT_EQ(errorNumber, 0);
    EXPECT_NE(talven::StreamFreeNumber(), file);
    talven::StreamSend(file, "x");
    EXPECT_EQ(errorNumber, 54);
    errorNumber = 0;
    EXPECT_EQ(talven::StreamReadLine(file), "");
    EXPECT_EQ(errorNumber, 54);
    errorNumber = 0;
    talven::StreamOpen(file, "127.0.0.1", 21, kOneSecond);
    EXPECT_EQ(errorNumber, 55);
    errorNumber = 0;
    talven::StreamClose(file);
    EXPECT_FALSE(isOpen(file));
    std::filesystem::remove(path);
}
