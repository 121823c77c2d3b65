// Uploads against the scripted server: the bytes on the wire, the console
// row, and every way an upload can fail.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "client_fixture.h"
#include "os.h"

using namespace testftp;

namespace {

// The captured console reads the platform's line end back as "\n".
const std::string kRowEnd = "\n";

class Upload : public SessionTest {
protected:
    // Runs ftpPutFile on a session served by script, with the console
    // captured; returns the result.
    std::int32_t put(const ScriptedServer::Script& script, const std::string& remote, const std::string& local,
                     std::int32_t window = 0) {
        std::int32_t result = -1;
        sent = onSession(script, [&](std::int32_t session) {
            console = consoleOutputOf([&] { result = talven::ftpPutFile(session, window, remote, local); });
        });
        return result;
    }

    std::string console;
    std::string sent;  // control bytes after the login, QUIT included
};

}  // namespace

TEST_F(Upload, SendsTheFileInChunksAfterTypePasvAndStor) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{8192}, std::size_t{20000},
                             std::size_t{3 * 1024 * 1024 + 7}}) {
        const std::string local = scratch.file("data.bin");
        writeFile(local, patternedBytes(size));
        std::string received;
        EXPECT_EQ(put([&](Peer& control) { received = serveStore(control); }, "remote.bin", local), 1) << size;
        EXPECT_EQ(received, patternedBytes(size)) << size;
        EXPECT_EQ(sent, "TYPE I\r\nPASV\r\nSTOR remote.bin\r\nQUIT\r\n");
        EXPECT_EQ(code, 226);
        EXPECT_EQ(text, "Transfer complete.");
        const std::string caption = size == 0 ? "" : std::to_string(size) + " / " + std::to_string(size);
        EXPECT_EQ(console, "remote.bin    " + caption + kRowEnd) << size;
    }
}

TEST_F(Upload, ConsoleRowPadsTheNameToTheNextFourteenColumnZone) {
    const std::string local = scratch.file("a");
    writeFile(local, "x");
    EXPECT_EQ(put([](Peer& control) { serveStore(control); }, "exactly14chars", local), 1);
    EXPECT_EQ(console, "exactly14chars" + std::string(14, ' ') + "1 / 1" + kRowEnd);
    EXPECT_EQ(put([](Peer& control) { serveStore(control); }, "", local), 1);
    EXPECT_EQ(console, std::string(14, ' ') + "1 / 1" + kRowEnd);
}

TEST_F(Upload, AGoAheadOf125IsAcceptedLike150) {
    const std::string local = scratch.file("f");
    writeFile(local, patternedBytes(10000));
    std::string received;
    TransferReplies replies;
    replies.goAhead = "125 Data connection already open. Transfer starting.";
    EXPECT_EQ(put([&](Peer& control) { received = serveStore(control, replies); }, "f", local), 1);
    EXPECT_EQ(received, patternedBytes(10000));
}

TEST_F(Upload, MultiLineRepliesKeepTheSessionInStep) {
    const std::string local = scratch.file("f");
    writeFile(local, "abc");
    TransferReplies replies;
    replies.type = "200-Binary\r\n200 mode";
    replies.goAhead = "150-Accepted data connection\r\n150 Go";
    replies.completion = "226-File successfully transferred\r\n226 0.001 seconds";
    std::string directory;
    ScriptedServer server([&](Peer& control) {
        greetAndLogIn(control);
        serveStore(control, replies);
        serveStore(control, replies);
        answer(control, "257 \"/up\" is current");
        serveQuit(control);
    });
    std::int32_t session = connectTo(server);
    EXPECT_EQ(talven::ftpPutFile(session, 1, "one", local), 1);
    expectLastStatus(226, "0.001 seconds");
    EXPECT_EQ(talven::ftpPutFile(session, 1, "two", local), 1);
    EXPECT_EQ(talven::ftpCurDir(session), "/up");
    talven::ftpQuit(session);
}

TEST_F(Upload, AMissingFileOrADirectorySendsNothing) {
    for (const std::string& local : {scratch.file("missing"), scratch.path().string(), std::string()}) {
        EXPECT_EQ(put([](Peer&) {}, "r", local), 0);
        EXPECT_EQ(code, 1);
        EXPECT_EQ(text, "Local File Not Found");
        EXPECT_EQ(sent, "QUIT\r\n");
        EXPECT_EQ(console, "");
    }
}

TEST_F(Upload, AFileHeldExclusivelyElsewhereCannotBeOpened) {
    const std::string local = scratch.file("held");
    os::FileHandle holder{};
    ASSERT_EQ(os::createExclusive(local, holder), 0);
    ASSERT_EQ(os::writeFile(holder, "abc", 3), 0);
    EXPECT_EQ(put([](Peer&) {}, "held", local), 0);
    os::closeFile(holder);
    EXPECT_EQ(code, 70);
    EXPECT_EQ(text, "Local File Access Error");
    EXPECT_EQ(sent, "QUIT\r\n");
    EXPECT_EQ(console, "held          ");
}

TEST_F(Upload, ARefusedPasvOrStorEndsTheUpload) {
    const std::string local = scratch.file("f");
    writeFile(local, "abc");
    EXPECT_EQ(put(
                  [](Peer& control) {
                      answer(control, "200 ok");
                      answer(control, "425 Cannot open passive port");
                  },
                  "f", local),
              0);
    EXPECT_EQ(code, 425);
    EXPECT_EQ(sent, "TYPE I\r\nPASV\r\nQUIT\r\n");
    EXPECT_EQ(talven::ftpLastUploadStep(), talven::UploadStep::preparing);

    // Refused, TYPE I would leave the file to go as ASCII text.
    EXPECT_EQ(put([](Peer& control) { answer(control, "425 Not now"); }, "f", local), 0);
    EXPECT_EQ(code, 425);
    EXPECT_EQ(sent, "TYPE I\r\nQUIT\r\n");
    EXPECT_EQ(talven::ftpLastUploadStep(), talven::UploadStep::preparing);

    bool dataEmpty = false;
    EXPECT_EQ(put(
                  [&](Peer& control) {
                      answer(control, "200 ok");
                      Peer data = servePasvThenAnswer(control, "553 Could not create file.");
                      dataEmpty = data.readAll().empty();
                  },
                  "f", local),
              0);
    EXPECT_TRUE(dataEmpty);
    EXPECT_EQ(code, 553);
    EXPECT_EQ(text, "Could not create file.");
    EXPECT_EQ(sent, "TYPE I\r\nPASV\r\nSTOR f\r\nQUIT\r\n");
    EXPECT_EQ(talven::ftpLastUploadStep(), talven::UploadStep::storeCommand);
}

// ftpResumePutFile: what the server holds decides where the data starts.
TEST_F(Upload, AResumedUploadContinuesFromTheServersSize) {
    const std::string local = scratch.file("f");
    const std::string bytes = patternedBytes(20000);
    writeFile(local, bytes);
    struct Case {
        std::string size, rest;  // the replies to SIZE and REST
        std::string commands;    // after SIZE f
        std::size_t from;        // the first byte sent
    } cases[] = {
        {"213 8000", "350 Restarting at 8000", "PASV\r\nREST 8000\r\nSTOR f\r\n", 8000},
        {"213 8000", "502 REST not implemented", "PASV\r\nREST 8000\r\nAPPE f\r\n", 8000},
        {"213 20000", "350 Restarting", "PASV\r\nREST 20000\r\nSTOR f\r\n", 20000},
        {"550 No such file", "", "PASV\r\nSTOR f\r\n", 0},
        {"500 SIZE not understood", "", "PASV\r\nSTOR f\r\n", 0},
        {"213 20001", "", "PASV\r\nSTOR f\r\n", 0},  // larger than the local file
        {"213 0", "", "PASV\r\nAPPE f\r\n", 0},  // empty: appended to, never emptied again
    };
    for (const Case& c : cases) {
        std::string received;
        std::int32_t result = -1;
        sent = onSession(
            [&](Peer& control) {
                answer(control, "200 Binary");
                answer(control, c.size);
                Listener listener;
                answer(control, listener.pasvReply());
                Peer data = listener.accept();
                if (!c.rest.empty()) answer(control, c.rest);
                answer(control, "150 Go");
                received = data.readAll();
                control.send("226 Done\r\n");
            },
            [&](std::int32_t session) {
                console = consoleOutputOf([&] { result = talven::ftpResumePutFile(session, 0, "f", local); });
            });
        EXPECT_EQ(result, 1) << c.size << " " << c.rest;
        EXPECT_EQ(received, bytes.substr(c.from)) << c.size << " " << c.rest;
        EXPECT_EQ(sent, "TYPE I\r\nSIZE f\r\n" + c.commands + "QUIT\r\n");
        // The progress counts from where the data starts.
        const std::string caption = c.from == bytes.size() ? "" : "20000 / 20000";
        EXPECT_EQ(console, "f             " + caption + kRowEnd) << c.size;
    }
}

TEST_F(Upload, FileSizeAsksSizeInBinaryMode) {
    struct Case {
        std::string reply;
        double size;
    } cases[] = {{"213 1234567890123", 1234567890123.0}, {"213 0", 0}, {"550 Could not get file size.", -1},
                 {"502 Unknown command", -1}, {"213 12a", -1}, {"213 99999999999999999", -1}};
    for (const Case& c : cases) {
        double size = -2;
        sent = onSession(
            [&](Peer& control) {
                answer(control, "200 Binary");
                answer(control, c.reply);
            },
            [&](std::int32_t session) { size = talven::ftpFileSize(session, "big.iso"); });
        EXPECT_EQ(size, c.size) << c.reply;
        EXPECT_EQ(code, talven::ftpReplyCode(c.reply));
        EXPECT_EQ(sent, "TYPE I\r\nSIZE big.iso\r\nQUIT\r\n");
    }
}

// RFC 959 lets a server confirm a transfer with 250 as well as 226.
TEST_F(Upload, OnlyA226Or250CompletionStoresTheFileAndEndsTheRow) {
    const std::string local = scratch.file("f");
    writeFile(local, "abc");
    for (std::string completion : {"250 Transfer ok", "451 Local error in processing", "552 Quota exceeded"}) {
        TransferReplies replies;
        replies.completion = completion;
        const bool stored = completion[0] == '2';
        EXPECT_EQ(put([&](Peer& control) { serveStore(control, replies); }, "f", local), stored ? 1 : 0);
        EXPECT_EQ(code, talven::ftpReplyCode(completion));
        EXPECT_EQ(console, "f             3 / 3" + (stored ? kRowEnd : ""));
    }
}

TEST_F(Upload, ADataConnectionThatBreaksFailsAndTheSessionStaysInStep) {
    const std::string local = scratch.file("big");
    writeFile(local, patternedBytes(32 << 20));
    ScriptedServer server([](Peer& control) {
        greetAndLogIn(control);
        answer(control, "200 ok");
        Peer data = servePasvThenAnswer(control, "150 go");
        data.reset();
        control.send("426 Connection closed; transfer aborted.\r\n");
        answer(control, "257 \"/\" is current");
        serveQuit(control);
    });
    std::int32_t session = connectTo(server);
    EXPECT_EQ(talven::ftpPutFile(session, 1, "big", local), 0);
    expectLastStatus(57, "Data Connection Error");
    // The 426 was taken as the broken transfer's reply, not as PWD's.
    EXPECT_EQ(talven::ftpCurDir(session), "/");
    talven::ftpQuit(session);
}

TEST_F(Upload, AServerThatStopsReadingTimesOut) {
    const std::string local = scratch.file("big");
    writeFile(local, patternedBytes(16 << 20));
    EXPECT_EQ(put(
                  [](Peer& control) {
                      answer(control, "200 ok");
                      Peer data = servePasvThenAnswer(control, "150 go");
                      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                      control.send("426 Aborted.\r\n");
                  },
                  "big", local),
              0);
    // Taken for hung: the session ends without waiting for the 426.
    EXPECT_EQ(code, 24);
    EXPECT_EQ(text, "Data Connection Timed Out");
}

TEST_F(Upload, AFileChangedWhileItIsSentIsNotReportedAsStored) {
    const std::string local = scratch.file("growing");
    // More than loopback's socket buffers hold, so the client is still
    // sending when the file changes.
    writeFile(local, patternedBytes(32 << 20));
    bool appended = false;
    bool brokenOff = false;
    std::int32_t result = put(
        [&](Peer& control) {
            answer(control, "200 ok");
            Peer data = servePasvThenAnswer(control, "150 go");
            data.read(1 << 20);
            // Where the platform lets another writer in, it appends mid-transfer.
            std::ofstream out(local, std::ios::binary | std::ios::app);
            appended = static_cast<bool>(out << "more") && static_cast<bool>(out.flush());
            out.close();
            data.readAll();
            brokenOff = data.brokenOff();
            // A server that took the end of the data for the end of the file.
            control.send("226 Transfer complete.\r\n");
        },
        "growing", local);
    if (appended) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(code, 70);
        EXPECT_EQ(text, "Local File Read Error");
        EXPECT_TRUE(brokenOff) << "the data connection was ended in order, as for a whole file";
    } else {
        EXPECT_EQ(result, 1);
    }
}

TEST_F(Upload, WithAWindowCaptionsLeaveTheConsoleAlone) {
    const std::string local = scratch.file("f");
    writeFile(local, patternedBytes(20000));
    EXPECT_EQ(put([](Peer& control) { serveStore(control); }, "f", local, 1), 1);
    EXPECT_EQ(console, "");
    EXPECT_EQ(put([](Peer& control) { answer(control, "200 ok"); answer(control, "425 No port"); }, "f", local, 1), 0);
    EXPECT_EQ(console, "");
    EXPECT_EQ(put([](Peer& control) { serveStore(control); }, "f", local, -1), 1);
    EXPECT_EQ(console, "f             20000 / 20000" + kRowEnd);
}

TEST_F(Upload, ARemoteNameWithALineBreakIsRefused) {
    const std::string local = scratch.file("f");
    writeFile(local, "abc");
    EXPECT_EQ(put([](Peer&) {}, "f\r\nDELE important", local), 0);
    EXPECT_EQ(code, 5);
    EXPECT_EQ(sent, "QUIT\r\n");
    EXPECT_EQ(console, "");
}

// Keepalive probes on the control connection, idle while the data flows
// slowly: tests/keepalive.sh runs this in a network namespace of its own,
// captures the loopback's packets and counts the client's packets to the
// control port between the times noted in the file TALVEN_KEEPALIVE_TIMES
// names.
TEST_F(Upload, KeepsTheIdleControlConnectionAliveDuringASlowTransfer) {
    const char* times = std::getenv("TALVEN_KEEPALIVE_TIMES");
    if (times == nullptr) GTEST_SKIP() << "run by tests/keepalive.sh, which watches the packets";
    os::setKeepAliveForTests(1, 1);
    // The completion reply comes only once the slow server has read all.
    talven::setFtpStreamTimeoutForTests(10 * 1024);
    const std::string local = scratch.file("slow.bin");
    writeFile(local, patternedBytes(4 << 20));
    std::string received;
    auto now = [] { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); };
    double began = 0, ended = 0;
    ScriptedServer server([&](Peer& control) {
        greetAndLogIn(control);
        answer(control, "200 ok");
        Peer data = servePasvThenAnswer(control, "150 go");
        began = now();
        // About 4 s, the data never still for long.
        while (now() - began < 4) {
            received += data.read(16384);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        received += data.readAll();
        ended = now();
        control.send("226 Done.\r\n");
        serveQuit(control);
    });
    const std::int32_t session = connectTo(server);
    EXPECT_EQ(talven::ftpPutFile(session, 1, "slow.bin", local), 1) << talven::ftpLastReplyText();
    talven::ftpQuit(session);
    os::setKeepAliveForTests(os::kKeepAliveIdleSeconds, os::kKeepAliveIntervalSeconds);
    EXPECT_TRUE(received == patternedBytes(4 << 20));
    std::ofstream(times) << std::fixed << began << " " << ended << " " << server.port() << "\n";
}
