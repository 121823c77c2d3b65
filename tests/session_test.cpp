// Reply lines, the last status, and opening and closing sessions against the
// scripted server.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client_fixture.h"
#include "number_text.h"
#include "stream.h"
#include "talvenftp.h"

using namespace testftp;

namespace {

bool nothingOpen() { return talven::openConnectionNumbers().empty(); }

class Session : public ClientTest {};

}  // namespace

TEST(ReplyCode, ReadsOnlyTheFirstThreeCharacters) {
    EXPECT_EQ(talven::ftpReplyCode("250 Done"), 250);
    EXPECT_EQ(talven::ftpReplyCode("2501 Done"), 250);
    EXPECT_EQ(talven::ftpReplyCode(" 25 Done"), 25);
    EXPECT_EQ(talven::ftpReplyCode("abc"), 0);
    EXPECT_EQ(talven::ftpReplyCode("7"), 7);
    EXPECT_EQ(talven::ftpReplyCode(""), 0);
    EXPECT_EQ(talven::ftpReplyCode("\t\n5x"), 5);
    EXPECT_EQ(talven::ftpReplyCode("-12 negative"), -12);
    EXPECT_EQ(talven::ftpReplyCode("1.9"), 1);
    EXPECT_EQ(talven::ftpReplyCode("-.5"), -1);
    EXPECT_EQ(talven::ftpReplyCode("+42"), 42);
    EXPECT_EQ(talven::ftpReplyCode("057 Unable to open socket"), 57);
}

TEST(LeadingNumber, RoundsDownAndKeepsLowBitsBeyondAnyWidth) {
    EXPECT_EQ(talven::readLeadingNumber("  19,").floorSaturated(), 19);
    EXPECT_EQ(talven::readLeadingNumber("-1.5").floorSaturated(), -2);
    EXPECT_EQ(talven::readLeadingNumber("-0").floorSaturated(), 0);
    EXPECT_EQ(talven::readLeadingNumber("1099511627776 bytes").floorSaturated(), 1099511627776);
    EXPECT_EQ(talven::readLeadingNumber("99999999999999999999999").floorSaturated(), INT64_MAX);
    EXPECT_EQ(talven::readLeadingNumber("-99999999999999999999999").floorSaturated(), INT64_MIN);
    EXPECT_EQ(talven::readLeadingNumber("256").floorLowByte(), 0);
    EXPECT_EQ(talven::readLeadingNumber("-1").floorLowByte(), 255);
    EXPECT_EQ(talven::readLeadingNumber("-1.5").floorLowByte(), 254);
    EXPECT_EQ(talven::readLeadingNumber("18446744073709551617").floorLowByte(), 1);  // 2^64 + 1
}

TEST(LastStatus, RecordsCodeAndTrimmedText) {
    talven::ftpRecordReply("250 Directory changed");
    expectLastStatus(250, "Directory changed");
    talven::ftpRecordReply("226");
    expectLastStatus(226, "");
    talven::ftpRecordReply("");
    expectLastStatus(0, "");
    talven::ftpRecordReply("200    padded text   ");
    expectLastStatus(200, "padded text");
    talven::ftpRecordReply("200\tTabbed ");
    expectLastStatus(200, "\tTabbed");
    talven::ftpRecordReply("230-Continued");
    expectLastStatus(230, "-Continued");
    talven::ftpRecordBuiltStatus(57, "Unable to open socket");
    expectLastStatus(57, "Unable to open socket");
}

TEST(LastStatus, ExportedGettersGiveCopiesThatKeepTheirValue) {
    talven::ftpRecordReply("550 No such file");
    BSTR message = FTPGETLASTSTATUSMSG();
    EXPECT_EQ(FTPGETLASTSTATUSCODE(), 550);
    talven::ftpRecordReply("200 Something else");
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(message), SysStringByteLen(message)), "No such file");
    SysFreeString(message);
}

TEST_F(Session, LogsInWithUserAndEmptyPassword) {
    ScriptedServer server([](Peer& control) {
        greetAndLogIn(control);
        control.readLine();
        control.send("221 Goodbye\r\n");
    });
    std::int32_t session = connectTo(server);
    ASSERT_GT(session, 0);
    expectLastStatus(230, "Logged in");
    EXPECT_EQ(talven::sessionHost(session), "127.0.0.1");
    talven::ftpQuit(session);
    expectLastStatus(221, "Goodbye");
    EXPECT_EQ(server.transcript(), "USER anonymous\r\nPASS \r\nQUIT\r\n");
    // The session's host entry goes with it: connecting again and again does not grow.
    EXPECT_EQ(talven::sessionHost(session), "");
}

TEST_F(Session, ReadsEveryLineOfAMultiLineGreetingBeforeUser) {
    ScriptedServer server([](Peer& control) {
        control.send("220-Welcome\r\n220-to the\r\n220-server\r\n220 Ready\r\n");
        control.readLine();
        control.send("230 No password needed\r\n");
        control.readLine();
        control.send("221-Goodbye\r\n221-See you\r\n221 Closing\r\n");
    });
    std::int32_t session = connectTo(server, "guest");
    ASSERT_GT(session, 0);
    expectLastStatus(230, "No password needed");
    talven::ftpQuit(session);
    expectLastStatus(221, "Closing");
    EXPECT_EQ(server.transcript(), "USER guest\r\nQUIT\r\n");
}

// A multi-line greeting ends at "220 ", whatever the lines between say; "120
// ready in N minutes" replies may come first.
TEST_F(Session, GreetingsAreReadWholeAfterAny120) {
    const std::pair<std::string, std::string> greetings[] = {
        {"220-Welcome\r\n  indented\r\n230 not the end\r\n220-\r\n220 Ready\r\n", "230 In"},
        {"120 Ready in 1 minute\r\n220 Ready\r\n", "230 In"},
        {"120-Soon\r\n120 Soon\r\n220-a\r\nb\r\n220 Ready\r\n", "230 In"},
        {"421 Too many users\r\n", "421 Too many users"},
        {"120 Soon\r\n421 Too many users\r\n", "421 Too many users"},
        {"221-Bye\r\n220 not the end\r\n221 Bye\r\n", "221 Bye"},
        // The code and another digit is text: only the code and a blank end it.
        {"220-Welcome\r\n2201 not the end\r\n220-\r\n220 Ready\r\n", "230 In"},
    };
    for (const auto& pair : greetings) {
        const std::string& greeting = pair.first;
        const std::string& last = pair.second;
        ScriptedServer server([&](Peer& control) {
            control.send(greeting);
            if (control.readLine() == "USER anonymous") control.send("230 In\r\n");
            serveQuit(control);
        });
        const std::int32_t session = connectTo(server);
        EXPECT_EQ(session > 0, last == "230 In") << greeting;
        expectLastStatus(talven::ftpReplyCode(last), last.substr(4));
        if (session > 0) talven::ftpQuit(session);
        EXPECT_EQ(server.transcript(), session > 0 ? "USER anonymous\r\nQUIT\r\n" : "") << greeting;
        EXPECT_TRUE(nothingOpen());
    }
}

TEST_F(Session, RefusedUserOrPassword) {
    ScriptedServer refusesUser([](Peer& control) {
        control.send("220 Ready\r\n");
        control.readLine();
        control.send("530 Not allowed\r\n");
        control.waitForClose();
    });
    EXPECT_EQ(connectTo(refusesUser), -1);
    expectLastStatus(530, "Not allowed");
    EXPECT_EQ(refusesUser.transcript(), "USER anonymous\r\n");

    ScriptedServer refusesPassword([](Peer& control) {
        control.send("220 Ready\r\n");
        control.readLine();
        control.send("331 Password please\r\n");
        control.readLine();
        control.send("530-Login incorrect\r\n530 Try again\r\n");
        control.waitForClose();
    });
    EXPECT_EQ(connectTo(refusesPassword, "anonymous", "secret"), -1);
    expectLastStatus(530, "Try again");
    EXPECT_EQ(refusesPassword.transcript(), "USER anonymous\r\nPASS secret\r\n");
}

TEST_F(Session, AMultiLineReplyToUserIsReadWholeBeforePass) {
    ScriptedServer server([](Peer& control) {
        control.send("220 Ready\r\n");
        control.readLine();
        control.send("331-Anonymous login ok,\r\n331 send your address as password\r\n");
        control.readLine();
        control.send("230 Welcome\r\n");
        control.readLine();
        control.send("221 Bye\r\n");
    });
    std::int32_t session = connectTo(server);
    ASSERT_GT(session, 0);
    expectLastStatus(230, "Welcome");
    talven::ftpQuit(session);
}

TEST_F(Session, AContinuationLineEndsOnlyWithTheSameCode) {
    ScriptedServer server([](Peer& control) {
        control.send("220 Ready\r\n");
        control.readLine();
        control.send("230-Welcome\r\n 230 indented, not the end\r\n230-still going\r\n231 other code\r\n230\r\n");
        control.readLine();
        control.send("221 Bye\r\n");
    });
    std::int32_t session = connectTo(server);
    ASSERT_GT(session, 0);
    expectLastStatus(230, "");
    talven::ftpQuit(session);
    expectLastStatus(221, "Bye");
}

// A name longer than any host's is refused whole, before any lookup: cut,
// it could name another host.
TEST_F(Session, AHostNameLongerThan255BytesIsRefusedNotCut) {
    const std::string tooLong = std::string(247, 'h') + ".invalid";
    EXPECT_EQ(talven::ftpConnectToPort(tooLong + "x", 21, "anonymous", ""), -1);
    expectLastStatus(6, "Host Name Too Long");
    EXPECT_EQ(talven::ftpConnectTLSToPort(tooLong + "x", 21, "anonymous", "", ""), -1);
    expectLastStatus(6, "Host Name Too Long");
    EXPECT_EQ(talven::ftpConnectToPort(tooLong, 21, "anonymous", ""), -1);
    expectLastStatus(57, "Unable to open socket");
}

TEST_F(Session, ServerThatCannotBeReached) {
    std::uint16_t closedPort = 0;
    testnet::closeSocket(testnet::listenLoopback(closedPort));
    EXPECT_EQ(talven::ftpConnectToPort("127.0.0.1", closedPort, "anonymous", ""), -1);
    expectLastStatus(57, "Unable to open socket");
    EXPECT_EQ(talven::ftpConnect("", "anonymous", ""), -1);
    expectLastStatus(57, "Unable to open socket");
}

TEST_F(Session, ServerThatClosesOrStallsDuringLogin) {
    ScriptedServer closesAfterGreeting([](Peer& control) {
        control.send("220 Ready\r\n");
        control.close();
    });
    EXPECT_EQ(connectTo(closesAfterGreeting), -1);
    expectLastStatus(92, "Control Connection Lost");

    ScriptedServer stallsAfterUser([](Peer& control) {
        control.send("220 Ready\r\n");
        control.readLine();
        control.waitForClose(3000);
    });
    EXPECT_EQ(connectTo(stallsAfterUser), -1);
    expectLastStatus(91, "Control Connection Timed Out");

    ScriptedServer endlessGreeting([](Peer& control) {
        std::string lines;
        for (int i = 0; i < 2000; ++i) lines += "220-" + std::string(1000, 'g') + "\r\n";
        control.send(lines);
        control.waitForClose(3000);
    });
    EXPECT_EQ(connectTo(endlessGreeting), -1);
    expectLastStatus(93, "Reply Too Long");
    EXPECT_EQ(endlessGreeting.transcript(), "");
    EXPECT_TRUE(nothingOpen());
}

TEST_F(Session, LineBreaksInUserOrPasswordAreRefusedBeforeConnecting) {
    testftp::Listener server;
    auto connect = [&](const std::string& user, const std::string& password) {
        return talven::ftpConnectToPort("127.0.0.1", server.port(), user, password);
    };
    EXPECT_EQ(connect("anonymous\r\nDELE x", ""), -1);
    expectLastStatus(5, "Invalid Character In Argument");
    EXPECT_EQ(connect("anonymous", "pw\nQUIT"), -1);
    EXPECT_EQ(connect("anonymous", std::string("pw\0x", 4)), -1);
    expectLastStatus(5, "Invalid Character In Argument");
    EXPECT_FALSE(server.accept(100).connected());
}

TEST_F(Session, QuitOnAServerThatHasGone) {
    ScriptedServer server([](Peer& control) {
        greetAndLogIn(control);
        control.close();
    });
    std::int32_t session = connectTo(server);
    ASSERT_GT(session, 0);
    server.transcript();
    talven::ftpQuit(session);
    expectLastStatus(92, "Control Connection Lost");
    talven::ftpQuit(session);  // a second quit finds nothing open
    expectLastStatus(94, "Not Connected");
}

TEST(OleStrings, CountBeforeTheBytesAndAZeroAfterThem) {
    BSTR text = SysAllocStringByteLen("a\0b", 3);
    ASSERT_NE(text, nullptr);
    const char* bytes = reinterpret_cast<const char*>(text);
    std::uint32_t count = 0;
    std::memcpy(&count, bytes - 4, 4);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(SysStringByteLen(text), 3u);
    EXPECT_EQ(std::string(bytes, 3), std::string("a\0b", 3));
    EXPECT_EQ(bytes[3], '\0');
    SysFreeString(text);
    SysFreeString(nullptr);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
}

// ---- For programs that embed the library: the wait and the callbacks ----

namespace {

// Logs the client in, then answers nothing until the client leaves.
void hangAfterLogin(Peer& control) {
    greetAndLogIn(control);
    control.waitForClose();
}

// How long action took.
template <typename Action>
std::chrono::milliseconds timeOf(Action action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

std::string gNotes;

void TALVEN_CALL keepNotes(std::int32_t, std::int32_t direction, const char* bytes, std::int32_t length) {
    if (direction == FTP_TRACE_NOTE) gNotes.append(bytes, static_cast<std::size_t>(length));
}

}  // namespace

// The session that waits too long is lost, and its trace says so.
TEST_F(Session, EachSessionWaitsForAHungServerItsOwnTime) {
    ScriptedServer first(hangAfterLogin), second(hangAfterLogin);
    const std::int32_t sessions[] = {connectTo(first), connectTo(second)};
    const std::int32_t waits[] = {500, 1500};
    for (int i : {0, 1}) ASSERT_EQ(ftpSetTimeout(sessions[i], waits[i]), 1);
    ASSERT_EQ(ftpSetTraceCallback(sessions[0], keepNotes), 1);
    for (int i : {0, 1}) {
        const auto took = timeOf([&] { EXPECT_EQ(talven::ftpCurDir(sessions[i]), ""); });
        expectLastStatus(91, "Control Connection Timed Out");
        EXPECT_GE(took.count(), waits[i] - 20);
        EXPECT_LT(took.count(), waits[i] + 400);
        talven::ftpQuit(sessions[i]);
    }
    EXPECT_EQ(gNotes, "Session lost: 091 Control Connection Timed Out");
}

// The session's wait bounds its data connections too: a stalled download.
TEST_F(Session, ASessionsWaitBoundsItsDataConnections) {
    ScriptedServer server([](Peer& control) {
        greetAndLogIn(control);
        serveReceivedEnding(control, kReceivedEndings[3], "150 go", "abc");
    });
    const std::int32_t session = connectTo(server);
    ASSERT_EQ(ftpSetTimeout(session, 400), 1);
    const auto took = timeOf([&] { EXPECT_EQ(talven::ftpGetFile(session, 0, "f", scratch.file("f")), 0); });
    expectLastStatus(24, "Data Connection Timed Out");
    EXPECT_GE(took.count(), 380);
    EXPECT_LT(took.count(), 900);
    talven::ftpQuit(session);
}

// The thread's default bounds the connect and the greeting of its next
// sessions; 0 brings back the built-in wait.
TEST_F(Session, TheThreadsDefaultWaitBoundsTheGreeting) {
    ScriptedServer silent([](Peer& control) { control.waitForClose(); });
    ASSERT_EQ(ftpSetDefaultTimeout(300), 1);
    const auto took = timeOf([&] { EXPECT_EQ(connectTo(silent), -1); });
    ASSERT_EQ(ftpSetDefaultTimeout(0), 1);
    expectLastStatus(91, "Control Connection Timed Out");
    EXPECT_GE(took.count(), 280);
    EXPECT_LT(took.count(), 700);
}

TEST_F(Session, WaitsOutOfRangeAndUnknownSessionsAreRefused) {
    for (std::int32_t milliseconds : {99, 3600001, -1, INT32_MIN}) {
        EXPECT_EQ(ftpSetDefaultTimeout(milliseconds), 0) << milliseconds;
        expectLastStatus(8, "Wait Out Of Range");
    }
    for (std::int32_t milliseconds : {100, 3600000, 0}) EXPECT_EQ(ftpSetDefaultTimeout(milliseconds), 1);
    EXPECT_EQ(ftpSetTimeout(4242, 1000), 0);
    expectLastStatus(94, "Not Connected");
    EXPECT_EQ(ftpSetProgressCallback(0, nullptr), 0);
    expectLastStatus(94, "Not Connected");
}

namespace {

// The threads each callback of a session came on.
std::mutex gCallbackThreadsLock;
std::map<std::int32_t, std::set<std::thread::id>> gCallbackThreads;

void noteCallbackThread(std::int32_t session) {
    std::lock_guard<std::mutex> guard(gCallbackThreadsLock);
    gCallbackThreads[session].insert(std::this_thread::get_id());
}

void TALVEN_CALL traceOnThread(std::int32_t session, std::int32_t, const char*, std::int32_t) {
    noteCallbackThread(session);
}

std::int32_t TALVEN_CALL progressOnThread(std::int32_t session, double, double) {
    noteCallbackThread(-session);
    return 0;
}

}  // namespace

TEST_F(Session, CallbacksOfFourThreadsSessionsComeOnTheirOwnThreads) {
    std::map<std::int32_t, std::thread::id> sessionThreads;
    std::mutex lock;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            const std::string local = scratch.file("down" + std::to_string(i));
            ScriptedServer server([](Peer& control) {
                greetAndLogIn(control);
                serveReceivedEnding(control, kReceivedEndings[0], "150 go", patternedBytes(100000));
                serveQuit(control);
            });
            ftpSetDefaultTraceCallback(traceOnThread);
            const std::int32_t session = connectTo(server);
            ftpSetDefaultTraceCallback(nullptr);
            ASSERT_GT(session, 0);
            ftpSetProgressCallback(session, progressOnThread);
            EXPECT_EQ(talven::ftpGetFile(session, 0, "f", local), 1);
            talven::ftpQuit(session);
            std::lock_guard<std::mutex> guard(lock);
            sessionThreads[session] = std::this_thread::get_id();
        });
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(sessionThreads.size(), 4u);
    for (const auto& [session, thread] : sessionThreads)
        for (std::int32_t key : {session, -session})
            EXPECT_EQ(gCallbackThreads[key], std::set<std::thread::id>{thread}) << key;
}
