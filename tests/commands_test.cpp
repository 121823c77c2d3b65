// One-command operations and status texts against the scripted server.
#include <gtest/gtest.h>

#include "client.h"
#include "client_fixture.h"

using namespace testftp;

namespace {

// Runs operations on a session whose server answers each command with the
// next of its replies.
class Commands : public SessionTest {
protected:
    // What the client sent after logging in, up to its QUIT.
    std::string exchange(std::vector<std::string> replies, const std::function<void(std::int32_t)>& operation) {
        const std::string sent = onSession(
            [replies](Peer& control) {
                for (const std::string& reply : replies) answer(control, reply);
            },
            operation);
        return sent.substr(0, sent.rfind("QUIT\r\n"));
    }
};

}  // namespace

TEST(StatusText, GivesTheTextOfListedCodesOnly) {
    EXPECT_EQ(talven::ftpStatusText(226), "Transfer completed successfully.");
    EXPECT_EQ(talven::ftpStatusText(553), "Bad File Name");
    EXPECT_EQ(talven::ftpStatusText(550), "Access Denied");
    EXPECT_EQ(talven::ftpStatusText(221), "Connection Closing. Operation Aborted");
    EXPECT_EQ(talven::ftpStatusText(202), "Command Not Implemented");
    EXPECT_EQ(talven::ftpStatusText(120), "Service available soon:");
    EXPECT_EQ(talven::ftpStatusText(501), "Syntax Error: Invalid parameters or arguments");
    int listed = 0;
    for (std::int32_t code = -1000; code < 1000; ++code) listed += !talven::ftpStatusText(code).empty();
    EXPECT_EQ(listed, 39);
    for (std::int32_t code : {0, 100, 299, 999, -550, 1, 57, 70}) EXPECT_EQ(talven::ftpStatusText(code), "") << code;
}

TEST_F(Commands, SucceedOnlyOnTheirOwnCodes) {
    using Case = std::tuple<std::string, std::function<std::int32_t(std::int32_t)>, std::string, std::string, int>;
    const std::vector<Case> cases = {
        {"delete", [](std::int32_t s) { return talven::ftpDeleteFile(s, "a.txt"); }, "250 Deleted.", "DELE a.txt\r\n", 1},
        {"delete refused", [](std::int32_t s) { return talven::ftpDeleteFile(s, "a.txt"); }, "550 No such file.", "DELE a.txt\r\n", 0},
        {"mkdir", [](std::int32_t s) { return talven::FTPMAKEDIR(s, "d"); }, "257 \"/d\" created", "MKD d\r\n", 1},
        {"mkdir answered 250", [](std::int32_t s) { return talven::FTPMAKEDIR(s, "d"); }, "250 Created.", "MKD d\r\n", 0},
        {"rmdir", [](std::int32_t s) { return talven::FTPREMOVEDIR(s, "d"); }, "250 Removed.", "RMD d\r\n", 1},
        {"rmdir answered 257", [](std::int32_t s) { return talven::FTPREMOVEDIR(s, "d"); }, "257 Odd.", "RMD d\r\n", 0},
        {"cwd", [](std::int32_t s) { return talven::ftpChangeDir(s, "  sub dir  "); }, "250 Ok.", "CWD sub dir\r\n", 1},
        {"cwd of blanks", [](std::int32_t s) { return talven::ftpChangeDir(s, "   "); }, "550 No.", "CWD \r\n", 0},
        {"names as they stand", [](std::int32_t s) { return talven::ftpDeleteFile(s, " x "); }, "250 Ok.", "DELE  x \r\n", 1},
    };
    for (const auto& [name, operation, reply, sent, result] : cases) {
        std::int32_t got = -1;
        EXPECT_EQ(exchange({reply}, [&](std::int32_t s) { got = operation(s); }), sent) << name;
        EXPECT_EQ(got, result) << name;
        EXPECT_EQ(code, talven::ftpReplyCode(reply)) << name;
    }
}

TEST_F(Commands, RenameStopsWhenRnfrIsRefused) {
    std::int32_t result = -1;
    EXPECT_EQ(exchange({"550 No such file."}, [&](std::int32_t s) { result = talven::FTPMOVEORRENAME(s, "a", "b"); }),
              "RNFR a\r\n");
    EXPECT_EQ(result, 0);
    expectStatus(550, "No such file.");

    EXPECT_EQ(exchange({"350 Ready.", "553 Bad name."},
                       [&](std::int32_t s) { result = talven::FTPMOVEORRENAME(s, "a", "b"); }),
              "RNFR a\r\nRNTO b\r\n");
    EXPECT_EQ(result, 0);
    expectStatus(553, "Bad name.");

    EXPECT_EQ(exchange({"350 Ready.", "250 Renamed."},
                       [&](std::int32_t s) { result = talven::FTPMOVEORRENAME(s, "a", "b"); }),
              "RNFR a\r\nRNTO b\r\n");
    EXPECT_EQ(result, 1);
}

TEST_F(Commands, CurDirCutsTheNameByDoubleQuotesAndUndoublesThoseInside) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"257 \"/home/ftp\" is the current directory", "/home/ftp"},
        {"257 \"/unterminated", "/unterminated"},
        {"257 no quotes here", ""},
        {"257 \"a\"\"b\" doubled", "a\"b"},
        {"257 \"/say \"\"hi\"\"\" is current", "/say \"hi\""},
        {"257 \"\"\"\"", "\""},
        {"257 \"\"\"", "\""},
        {"550 Not allowed", ""},
    };
    for (const auto& [reply, name] : cases) {
        std::string got;
        EXPECT_EQ(exchange({reply}, [&](std::int32_t s) { got = talven::ftpCurDir(s); }), "PWD\r\n");
        EXPECT_EQ(got, name) << reply;
    }
}

TEST_F(Commands, TypeRepliesAreRecordedNotExamined) {
    EXPECT_EQ(exchange({"504 Not supported"}, [](std::int32_t s) { talven::ftpSetBinary(s); }), "TYPE I\r\n");
    expectStatus(504, "Not supported");
    EXPECT_EQ(exchange({"200 Ok"}, [](std::int32_t s) { talven::ftpSetAscii(s); }), "TYPE A\r\n");
    expectStatus(200, "Ok");
}

TEST_F(Commands, MultiLineRepliesAreReadWholeSoTheSessionStaysInStep) {
    std::int32_t made = -1;
    std::string directory;
    EXPECT_EQ(exchange({"257-Created\r\n257-more text\r\n257 \"/d\" done", "257 \"/home\" current"},
                       [&](std::int32_t s) {
                           made = talven::FTPMAKEDIR(s, "d");
                           directory = talven::ftpCurDir(s);
                       }),
              "MKD d\r\nPWD\r\n");
    EXPECT_EQ(made, 1);
    EXPECT_EQ(directory, "/home");
}

TEST_F(Commands, NamesWithLineBreaksOrNulAreRefusedBeforeSending) {
    const std::string names[] = {"a\r\nDELE b", "a\nb", std::string("a\0b", 3), "a\r"};
    for (const std::string& bad : names) {
        std::vector<std::int32_t> results;
        EXPECT_EQ(exchange({}, [&](std::int32_t s) {
                      results = {talven::ftpDeleteFile(s, bad), talven::FTPMAKEDIR(s, bad), talven::FTPREMOVEDIR(s, bad),
                                 talven::FTPMOVEORRENAME(s, bad, "ok"), talven::FTPMOVEORRENAME(s, "ok", bad),
                                 talven::ftpChangeDir(s, bad)};
                  }),
                  "");
        EXPECT_EQ(results, std::vector<std::int32_t>(6, 0));
        expectStatus(5, "Invalid Character In Argument");
    }
}

TEST_F(Commands, AServerThatHasGoneLosesTheSession) {
    ScriptedServer server([](Peer& control) {
        greetAndLogIn(control);
        control.close();
    });
    std::int32_t session = connectTo(server);
    server.transcript();
    EXPECT_EQ(talven::ftpDeleteFile(session, "x"), 0);
    expectLastStatus(92, "Control Connection Closed");
    talven::ftpRecordReply("");
    EXPECT_EQ(talven::ftpCurDir(session), "");
    expectLastStatus(92, "Control Connection Closed");
    talven::ftpQuit(session);
}
