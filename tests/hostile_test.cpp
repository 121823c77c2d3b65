// Servers that misbehave: replies cut into single bytes, endless or overlong
// replies, odd bytes, broken PASV groups, connections that close or stall at
// every step. Whatever the server does, each operation ends within its waits
// with an exact result and last status, and leaves nothing open.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "client_fixture.h"
#include "stream.h"

using namespace testftp;
using namespace std::chrono_literals;

namespace {

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

class Hostile : public SessionTest {
protected:
    std::string localFile(const std::string& bytes) {
        const std::string path = scratch.file("local.bin");
        writeFile(path, bytes);
        return path;
    }
};

}  // namespace

// ---- How replies arrive ----

TEST_F(Hostile, RepliesSplitByteByByteAreReadWhole) {
    std::string directory;
    const std::string sent = onSession(
        [](Peer& control) {
            control.readLine();
            control.sendInPieces("257-Current directory:\r\n257-is\r\n257 \"/split\" here\r\n", 1, 1ms);
            control.readLine();
            control.sendInPieces("250 Deleted\r\n", 1, 1ms);
            serveQuit(control);
        },
        [&](std::int32_t session) {
            directory = talven::ftpCurDir(session);
            EXPECT_EQ(talven::ftpDeleteFile(session, "f"), 1);
        });
    EXPECT_EQ(directory, "/split");
    expectStatus(250, "Deleted");
    EXPECT_EQ(sent, "PWD\r\nDELE f\r\nQUIT\r\n");
}

// A preliminary reply (1xx) is followed by the final one, which answers the
// command: taken as the reply itself, it would leave the final one to pass
// for the reply to the next command. Before a transfer's go-ahead (125 or
// 150) other preliminary replies may come too.
TEST_F(Hostile, PreliminaryRepliesAreFollowedByTheFinalOne) {
    const std::string sent = onSession(
        [](Peer& control) {
            answer(control, "150-Working\r\n150 Still working\r\n110 MARK\r\n250 Deleted a");
            answer(control, "550 b: No such file");
            serveStore(control, TransferReplies{"200 Binary", "120 Ready in 1 minute\r\n110 MARK\r\n150 Go", "226 Stored"});
            serveQuit(control);
        },
        [&](std::int32_t session) {
            EXPECT_EQ(talven::ftpDeleteFile(session, "a"), 1);
            expectLastStatus(250, "Deleted a");
            EXPECT_EQ(talven::ftpDeleteFile(session, "b"), 0);
            expectLastStatus(550, "b: No such file");
            EXPECT_EQ(talven::ftpPutFile(session, 1, "f", localFile("abc")), 1);
        });
    expectStatus(226, "Stored");
    EXPECT_EQ(sent, "DELE a\r\nDELE b\r\nTYPE I\r\nPASV\r\nSTOR f\r\nQUIT\r\n");
}

TEST_F(Hostile, AGreetingAndLoginSplitByteByByte) {
    ScriptedServer server([](Peer& control) {
        control.sendInPieces("220-Hello\r\n220 Ready\r\n", 1, 1ms);
        control.readLine();
        control.sendInPieces("331 Password\r\n", 1, 1ms);
        control.readLine();
        control.sendInPieces("230 In\r\n", 1, 1ms);
        serveQuit(control);
    });
    const std::int32_t session = connectTo(server);
    EXPECT_GT(session, 0);
    expectLastStatus(230, "In");
    talven::ftpQuit(session);
}

TEST_F(Hostile, AGreetingOfThousandsOfContinuationLines) {
    ScriptedServer server([](Peer& control) {
        std::string greeting;
        for (int i = 0; i < 20000; ++i) greeting += "220-Line " + std::to_string(i) + " of the welcome\r\n";
        control.send(greeting + "220 Ready\r\n");
        control.readLine();
        control.send("230 Welcome\r\n");
        serveQuit(control);
    });
    const std::int32_t session = connectTo(server);
    EXPECT_GT(session, 0);
    expectLastStatus(230, "Welcome");
    talven::ftpQuit(session);
    EXPECT_EQ(server.transcript(), "USER anonymous\r\nQUIT\r\n");
}

TEST_F(Hostile, AContinuationReplyThatNeverEndsStopsAtTheReplyBound) {
    const std::string sent = onSession(
        [](Peer& control) {
            control.readLine();
            // Sends until the client gives up and closes.
            const std::string lines = [] {
                std::string block;
                for (int i = 0; i < 1000; ++i) block += "257-more and more\r\n";
                return block;
            }();
            while (control.send(lines)) {
            }
        },
        [](std::int32_t session) { EXPECT_EQ(talven::ftpCurDir(session), ""); });
    expectStatus(93, "Reply Too Long");
    EXPECT_EQ(sent, "PWD\r\n");
}

TEST_F(Hostile, AReplyLineLongerThanTheLineCapacityIsReadToItsEnd) {
    const std::string longText(100 * 1024, 'x');
    const std::string sent = onSession(
        [&](Peer& control) {
            answer(control, "250 " + longText);
            answer(control, "257 \"/after\"");
            serveQuit(control);
        },
        [](std::int32_t session) {
            EXPECT_EQ(talven::ftpDeleteFile(session, "f"), 1);
            // The line is taken as far as the line capacity reaches.
            expectLastStatus(250, std::string(talven::kLineCapacity - 4, 'x'));
            EXPECT_EQ(talven::ftpCurDir(session), "/after");
        });
    expectStatus(257, "\"/after\"");
    EXPECT_EQ(sent, "DELE f\r\nPWD\r\nQUIT\r\n");
}

TEST_F(Hostile, AReplyLineOfOneMebibyteWithoutLineFeed) {
    onSession(
        [](Peer& control) {
            control.readLine();
            control.send("250 " + std::string(1 << 20, 'y'));
            control.waitForClose(3000);
        },
        [](std::int32_t session) { EXPECT_EQ(talven::ftpDeleteFile(session, "f"), 0); });
    expectStatus(93, "Reply Too Long");

    ScriptedServer greeting([](Peer& control) {
        control.send("220 " + std::string(1 << 20, 'g'));
        control.waitForClose(3000);
    });
    EXPECT_EQ(connectTo(greeting), -1);
    expectLastStatus(93, "Reply Too Long");
    EXPECT_EQ(greeting.transcript(), "");
}

TEST_F(Hostile, CarriageReturnsWithoutEndCountAgainstTheReplyBound) {
    // Carriage returns are dropped from lines, but they are still read: a
    // server must not keep the client reading them for ever.
    std::size_t sent = 0;
    ScriptedServer server([&](Peer& control) {
        control.send("220-Welcome\r\n220-");
        const std::string block(64 * 1024, '\r');
        while (sent < (256u << 20) && control.send(block)) sent += block.size();
    });
    EXPECT_EQ(connectTo(server), -1);
    expectLastStatus(93, "Reply Too Long");
    server.transcript();
    EXPECT_LT(sent, 64u << 20);
}

// A reply that does not arrive whole, within one wait, up to the LF of its
// last line: what the server sends later would pass for the reply to the
// next command, so the session is closed, and the next command fails at
// once without being sent.
TEST_F(Hostile, RepliesThatDoNotArriveWholeLoseTheSession) {
    const std::string timedOut = "Control Connection Timed Out";
    std::string overlong;
    while (overlong.size() < 1100000) overlong += "250-" + std::string(1000, 'x') + "\r\n";
    const struct {
        ScriptedServer::Script reply;
        std::int32_t code;
        std::string text;
    } cases[] = {
        {[](Peer& c) { std::this_thread::sleep_for(1200ms); c.send("250 DELE a: file deleted\r\n"); }, 91, timedOut},
        {[](Peer& c) { c.send("55"); std::this_thread::sleep_for(1200ms); c.send("0 a: No such file\r\n"); }, 91, timedOut},
        {[](Peer& c) { c.sendInPieces("250 DELE a: file deleted\r\n", 1, 80ms); }, 91, timedOut},
        {[&](Peer& c) { c.send(overlong + "250 Deleted\r\n"); }, 93, "Reply Too Long"},
        {[&](Peer& c) { c.send(repeated("150 " + std::string(1000, 'x') + "\r\n", 1100) + "250 Deleted\r\n"); }, 93, "Reply Too Long"},
        {[](Peer& c) { c.sendInPieces(repeated("110 Working\r\n", 5) + "250 Deleted\r\n", 13, 300ms); }, 91, timedOut},
        {[](Peer& c) { c.send("250-Deleted\r\n"); c.close(); }, 92, "Control Connection Lost"},
        {[](Peer& c) { c.send("250-Deleted\r\n"); c.reset(); }, 92, "Control Connection Lost"},
    };
    for (const auto& broken : cases) {
        SCOPED_TRACE(broken.text);
        const std::string sent = onSession(
            [&](Peer& control) {
                control.readLine();
                broken.reply(control);
                answer(control, "550 nodir: No such directory");
            },
            [&](std::int32_t session) {
                EXPECT_EQ(talven::ftpDeleteFile(session, "a"), 0);
                expectLastStatus(broken.code, broken.text);
                talven::ftpRecordReply("");
                EXPECT_EQ(talven::ftpChangeDir(session, "nodir"), 0);
            });
        expectStatus(broken.code, broken.text);
        EXPECT_EQ(sent, "DELE a\r\n");
    }
}

TEST_F(Hostile, NulAndHighBytesInRepliesStayAsTheyCame) {
    const std::string odd = literalBytes("caf\xE9 \0 na\xEFve \xFF\x80");
    std::string directory;
    onSession(
        [&](Peer& control) {
            answer(control, "250 " + odd);
            answer(control, "257 \"/" + odd + "\"");
            answer(control, literalBytes("2\0" "5 nul in the code"));
            serveQuit(control);
        },
        [&](std::int32_t session) {
            EXPECT_EQ(talven::ftpDeleteFile(session, "f"), 1);
            expectLastStatus(250, odd);
            directory = talven::ftpCurDir(session);
            EXPECT_EQ(talven::FTPMAKEDIR(session, "d"), 0);
        });
    EXPECT_EQ(directory, "/" + odd);
    expectStatus(2, "nul in the code");
}

// ---- PASV replies ----

namespace {

struct PasvCase {
    std::string reply;
    bool connects;
};

std::string withPort(const std::string& pattern, std::uint16_t port) {
    std::string reply = pattern;
    auto put = [&](const std::string& key, const std::string& value) {
        for (std::size_t at; (at = reply.find(key)) != std::string::npos;) reply.replace(at, key.size(), value);
    };
    put("{hi}", std::to_string(port / 256));
    put("{lo}", std::to_string(port % 256));
    put("{hi-256}", std::to_string(port / 256 - 256));
    put("{lo-256}", std::to_string(port % 256 - 256));
    return reply;
}

}  // namespace

TEST_F(Hostile, PasvGroupsWithMissingNegativeHugeOrOddNumbers) {
    Listener listener;
    std::string huge(41, '0');  // 10^40: a multiple of 256
    huge[0] = '1';
    const PasvCase cases[] = {
        {"227 Entering Passive Mode (127,0,0,1,{hi},{lo})", true},
        {"227 Entering Passive Mode (127,0,0,1,{hi-256},{lo-256})", true},
        {"227 Entering Passive Mode (-1,-2,-3,-4,{hi}.99,{lo}.5)", true},
        {"227 Entering Passive Mode (1,2,3,4," + huge.substr(0, 38) + "{hi}," + huge + "{lo})", true},
        {"227 Entering Passive Mode (1,2,3,4,  \t{hi}xyz,\t {lo} port)", true},
        {"227 Entering Passive Mode (127,0,0,1,{hi},{lo},99,99)", true},
        {"227 Entering Passive Mode (127,0,0,1,0,0)", false},
        {"227 Entering Passive Mode (127,0,0,1)", false},
        {"227 Entering Passive Mode ()", false},
        {"227 Entering Passive Mode (,,,,,)", false},
        {"227 Entering Passive Mode (a,b,c,d,e,f)", false},
        {"227 Entering Passive Mode (1,2,3,4,+,-)", false},
        {"227 Entering Passive Mode", false},
        {"227", false},
        {"227 Entering Passive Mode 127,0,0,1,{hi},{lo}", true},
        {"227 Entering Passive Mode =127,0,0,1,{hi},{lo}.", true},
        {"227 Entering Passive Mode 127,0,0,1,{hi}", false},
        {"227 Entering Passive Mode 127,0,0,1,{hi},,{lo}", false},
        {"227 Entering Passive Mode )127,0,0,1,{hi},{lo}(", true},
        {"227 Entering Passive Mode (127,0,0,1,{hi},{lo}", true},
        {"227 Entering Passive Mode ((127,0,0,1,{hi},{lo}))", false},
        {"227 Entering Passive Mode (127,0,0,1,{hi},{lo} (port {hi}))", true},
        {"227 Mode (note) (127,0,0,1,{hi},{lo})", false},
        {"2(7 Entering Passive Mode (127,0,0,1,{hi},{lo})", false},
        {"227-Entering Passive Mode (127,0,0,1,{hi},{lo})\r\n227 (127,0,0,1,0,0)", false},
    };
    for (const PasvCase& pasv : cases) {
        const std::string reply = withPort(pasv.reply, listener.port());
        bool connected = false;
        std::int32_t data = 0;
        onSession(
            [&](Peer& control) {
                answer(control, reply);
                connected = listener.accept(pasv.connects ? 5000 : 200).connected();
                serveQuit(control);
            },
            [&](std::int32_t session) {
                data = talven::ftpOpenDataChannel(session);
                if (data != -1) talven::StreamClose(data);
            });
        EXPECT_EQ(connected, pasv.connects) << reply;
        EXPECT_EQ(data != -1, pasv.connects) << reply;
        const std::string last = reply.substr(reply.rfind('\n') + 1);
        if (pasv.connects || talven::ftpReplyCode(last) != 227) {
            EXPECT_EQ(code, talven::ftpReplyCode(last)) << reply;
            EXPECT_EQ(text, last.size() > 4 ? last.substr(4) : "") << reply;
        } else {
            EXPECT_EQ(code, 57) << reply;
            EXPECT_EQ(text, "Unable to open data connection") << reply;
        }
    }
}

// ---- Servers that close or stall ----

TEST_F(Hostile, AServerThatClosesDuringTheLogin) {
    const std::function<void(Peer&)> scripts[] = {
        [](Peer& control) { control.close(); },
        [](Peer& control) {
            control.send("220 Ready\r\n");
            control.close();
        },
        [](Peer& control) {
            control.send("220-Welc");
            control.close();
        },
        [](Peer& control) {
            control.send("220 Ready\r\n");
            control.readLine();
            control.close();
        },
        [](Peer& control) {
            control.send("220 Ready\r\n");
            control.readLine();
            control.send("331 Password\r\n");
            control.readLine();
            control.close();
        },
        [](Peer& control) {
            control.send("220 Ready\r\n");
            control.readLine();
            control.send("331-Password\r\n");
            control.close();
        },
        [](Peer& control) {
            control.send("22");
            control.close();
        },
    };
    for (const auto& script : scripts) {
        ScriptedServer server(script);
        EXPECT_EQ(connectTo(server), -1);
        expectLastStatus(92, "Control Connection Lost");
    }
}

// A reply counts only once the LF of its last line has come, and the whole
// of it must come within one wait, however slowly its bytes trickle in.
TEST_F(Hostile, AServerThatStallsOrTricklesDuringTheLogin) {
    const std::pair<ScriptedServer::Script, std::string> cases[] = {
        {[](Peer& c) { c.sendInPieces("220 Ready\r\n", 1, 150ms); }, ""},
        {[](Peer& c) { c.send("220 Ready\r\n"); c.readLine(); c.send("331 Pass"); }, "USER anonymous\r\n"},
    };
    for (const auto& stalling : cases) {
        ScriptedServer server([&](Peer& control) {
            stalling.first(control);
            control.readLine(5000);
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(connectTo(server), -1);
        expectLastStatus(91, "Control Connection Timed Out");
        EXPECT_EQ(server.transcript(), stalling.second);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    }
}

TEST_F(Hostile, AServerThatClosesAfterPasv) {
    const std::string sent = onSession(
        [](Peer& control) {
            answer(control, "200 Binary");
            control.readLine();
            control.close();
        },
        [&](std::int32_t session) {
            ::testing::internal::CaptureStdout();
            EXPECT_EQ(talven::ftpPutFile(session, 0, "f", localFile("abc")), 0);
            EXPECT_EQ(::testing::internal::GetCapturedStdout(), "f             ");
        });
    expectStatus(92, "Control Connection Lost");
    EXPECT_EQ(sent, "TYPE I\r\nPASV\r\n");
}

TEST_F(Hostile, AServerThatClosesEverythingAfter150) {
    for (const std::size_t size : {std::size_t{3}, std::size_t{8} << 20}) {
        onSession(
            [](Peer& control) {
                answer(control, "200 Binary");
                Peer data = servePasvThenAnswer(control, "150 Go ahead");
                data.close();
                control.close();
            },
            [&](std::int32_t session) {
                EXPECT_EQ(talven::ftpPutFile(session, 1, "f", localFile(patternedBytes(size))), 0);
            });
        // A small file fits in the system's buffers before the close is seen;
        // then only the missing completion reply tells.
        if (size == 3)
            expectStatus(92, "Control Connection Lost");
        else
            expectStatus(57, "Data Connection Error");
    }
}

TEST_F(Hostile, AServerThatClosesInTheMiddleOfTheData) {
    onSession(
        [](Peer& control) {
            answer(control, "200 Binary");
            Peer data = servePasvThenAnswer(control, "150 Go ahead");
            data.read(100000);
            data.close();
            control.send("426 Connection closed; transfer aborted.\r\n");
            answer(control, "250 Still here");
            serveQuit(control);
        },
        [&](std::int32_t session) {
            EXPECT_EQ(talven::ftpPutFile(session, 1, "f", localFile(patternedBytes(16 << 20))), 0);
            expectLastStatus(57, "Data Connection Error");
            EXPECT_EQ(talven::ftpDeleteFile(session, "f"), 1);
        });
    expectStatus(250, "Still here");
}

TEST_F(Hostile, A421InTheMiddleOfTheSessionEndsIt) {
    const std::string sent = onSession(
        [](Peer& control) {
            answer(control, "421 Timeout: closing control connection.");
            control.close();
        },
        [&](std::int32_t session) {
            EXPECT_EQ(talven::ftpDeleteFile(session, "f"), 0);
            expectLastStatus(421, "Timeout: closing control connection.");
            EXPECT_EQ(talven::FTPMAKEDIR(session, "d"), 0);
            expectLastStatus(92, "Control Connection Lost");
            EXPECT_EQ(talven::ftpPutFile(session, 1, "f", localFile("abc")), 0);
            expectLastStatus(92, "Control Connection Lost");
            EXPECT_EQ(talven::ftpCurDir(session), "");
        });
    expectStatus(92, "Control Connection Lost");
    EXPECT_EQ(sent, "DELE f\r\n");
}

TEST_F(Hostile, A421InPlaceOfTheGoAheadOrTheCompletion) {
    onSession(
        [](Peer& control) {
            answer(control, "200 Binary");
            Peer data = servePasvThenAnswer(control, "421 Shutting down");
            control.close();
        },
        [&](std::int32_t session) { EXPECT_EQ(talven::ftpPutFile(session, 1, "f", localFile("abc")), 0); });
    expectStatus(421, "Shutting down");

    onSession(
        [](Peer& control) {
            serveStore(control, TransferReplies{"200 Binary", "150 Go", "421 Shutting down"});
            control.close();
        },
        [&](std::int32_t session) { EXPECT_EQ(talven::ftpPutFile(session, 1, "f", localFile("abc")), 0); });
    expectStatus(421, "Shutting down");
}
