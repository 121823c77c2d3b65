// Directory listings against the scripted server.
#include <gtest/gtest.h>

#include "client_fixture.h"

using namespace testftp;

namespace {

using Lines = std::vector<std::string>;
using Listing = std::int32_t (*)(std::int32_t, Lines&);

// Serves one LIST: PASV, TYPE A, LIST; sends data and closes the data
// connection, then the completion reply.
void serveList(Peer& control, const std::string& data, const std::string& completion = "226 Directory send OK.") {
    Peer connection = servePasvThenAnswer(control, "200 Switching to ASCII mode.");
    answer(control, "150 Here comes the directory listing.");
    connection.send(data);
    connection.close();
    control.send(completion + "\r\n");
}

class Listings : public SessionTest {
protected:
    // Lists on a session of a server that follows script, then runs after.
    std::int32_t list(Listing listing, const ScriptedServer::Script& script,
                      const std::function<void(std::int32_t)>& after = [](std::int32_t) {}) {
        std::int32_t result = -1;
        sent = onSession(script, [&](std::int32_t session) {
            lines = {"stale", "content"};
            result = listing(session, lines);
            after(session);
        });
        EXPECT_EQ(lines.size(), static_cast<std::size_t>(result) + 1);
        EXPECT_EQ(lines.at(0), "");
        return result;
    }

    Lines lines;
    std::string sent;
};

const std::string kThreeKinds =
    "drwxr-xr-x    2 0        0            4096 Dec 08 10:00 sub\r\n"
    "-rw-r--r--    1 0        0           20000 Dec 08 10:00 file.bin\r\n"
    "lrwxrwxrwx    1 0        0               8 Dec 08 10:00 link -> file.bin\r\n";

}  // namespace

TEST_F(Listings, ReturnsEveryLineInOrderAndFiltersByFirstCharacter) {
    EXPECT_EQ(list(&talven::ftpGetList, [](Peer& control) { serveList(control, kThreeKinds); }), 3);
    EXPECT_EQ(sent, "PASV\r\nTYPE A\r\nLIST\r\nQUIT\r\n");
    EXPECT_EQ(code, 226);
    EXPECT_EQ(lines[1], "drwxr-xr-x    2 0        0            4096 Dec 08 10:00 sub");
    EXPECT_EQ(lines[3], "lrwxrwxrwx    1 0        0               8 Dec 08 10:00 link -> file.bin");

    EXPECT_EQ(list(&talven::ftpGetFileList, [](Peer& control) { serveList(control, kThreeKinds); }), 1);
    EXPECT_EQ(lines[1], "-rw-r--r--    1 0        0           20000 Dec 08 10:00 file.bin");
    EXPECT_EQ(code, 226);

    EXPECT_EQ(list(&talven::ftpGetDirList, [](Peer& control) { serveList(control, kThreeKinds); }), 1);
    EXPECT_EQ(lines[1], "drwxr-xr-x    2 0        0            4096 Dec 08 10:00 sub");
}

TEST_F(Listings, UpperCaseDMarksADirectoryAndOtherFormatsMatchNeither) {
    const std::string data = "D:directory\n12-08-26  10:00AM       <DIR>          sub\n-plain\n";
    EXPECT_EQ(list(&talven::ftpGetDirList, [&](Peer& control) { serveList(control, data); }), 1);
    EXPECT_EQ(lines[1], "D:directory");
    EXPECT_EQ(list(&talven::ftpGetFileList, [&](Peer& control) { serveList(control, data); }), 1);
    EXPECT_EQ(lines[1], "-plain");
}

TEST_F(Listings, LinesKeepLeadingBlanksAndTheLastNeedsNoLineFeed) {
    EXPECT_EQ(list(&talven::ftpGetList, [](Peer& control) { serveList(control, "  indented\r\nlast without end"); }), 2);
    EXPECT_EQ(lines[1], "  indented");
    EXPECT_EQ(lines[2], "last without end");
}

TEST_F(Listings, ABlankLineEndsTheListing) {
    EXPECT_EQ(list(&talven::ftpGetList, [](Peer& control) { serveList(control, "one\r\n   \r\ntwo\r\n"); }), 1);
    EXPECT_EQ(lines[1], "one");
    EXPECT_EQ(code, 226);
}

TEST_F(Listings, AnEmptyDirectoryGivesElementZeroAlone) {
    EXPECT_EQ(list(&talven::ftpGetList, [](Peer& control) { serveList(control, ""); }), 0);
    EXPECT_EQ(code, 226);
    EXPECT_EQ(list(&talven::ftpGetDirList, [](Peer& control) { serveList(control, ""); }), 0);
}

TEST_F(Listings, ARefusedPasvGivesNothing) {
    EXPECT_EQ(list(&talven::ftpGetList, [](Peer& control) { answer(control, "425 No passive port"); }), 0);
    EXPECT_EQ(code, 425);
    EXPECT_EQ(sent, "PASV\r\nQUIT\r\n");
}

TEST_F(Listings, ARefusedListFailsAtOnceAndClosesItsDataConnection) {
    for (const std::string refusal : {"550 Permission denied.", "450 No files", "550-No access\r\n550 here"}) {
        const std::string last = refusal.substr(refusal.rfind('\n') + 1);
        bool dataClosed = false;
        std::string directory;
        sent = onSession(
            [&](Peer& control) {
                Peer connection = servePasvThenAnswer(control, "200 ok");
                answer(control, refusal);
                dataClosed = connection.waitForClose(2000);
                answer(control, "257 \"/\" is current");
            },
            [&](std::int32_t session) {
                EXPECT_EQ(talven::ftpGetList(session, lines), 0);
                EXPECT_EQ(lines, Lines{""});
                expectLastStatus(talven::ftpReplyCode(last), last.substr(4));
                directory = talven::ftpCurDir(session);
            });
        EXPECT_TRUE(dataClosed) << refusal;
        EXPECT_EQ(directory, "/") << refusal;
        EXPECT_EQ(sent, "PASV\r\nTYPE A\r\nLIST\r\nPWD\r\nQUIT\r\n");
    }
}

// Else the list holds element 0 alone. The session stays in step: the next
// command gets its own reply. After a stall the server is taken for hung and
// the session ends at once.
TEST_F(Listings, OnlyACleanEndConfirmedWith226Or250GivesTheLines) {
    for (const ReceivedEnding& ending : kReceivedEndings) {
        if (ending.end == ReceivedEnding::resets && !resetsReachThePeer()) continue;
        const std::string status = ending.expectedStatus();
        for (Listing listing : {&talven::ftpGetList, &talven::ftpGetDirList}) {
            SCOPED_TRACE(ending.completion);
            std::string directory;
            const std::int32_t result = list(listing, [&](Peer& control) {
                serveReceivedEnding(control, ending, "150 listing", kThreeKinds);
            }, [&](std::int32_t session) {
                expectLastStatus(talven::ftpReplyCode(status), status.substr(4));
                directory = talven::ftpCurDir(session);
            });
            const bool confirmed = talven::ftpReplyCode(status) == 250;
            EXPECT_EQ(result, !confirmed ? 0 : listing == &talven::ftpGetList ? 3 : 1);
            const bool lost = ending.end == ReceivedEnding::stalls;
            EXPECT_EQ(directory, lost ? "" : "/");
            EXPECT_EQ(sent, lost ? "PASV\r\nTYPE A\r\nLIST\r\n" : "PASV\r\nTYPE A\r\nLIST\r\nPWD\r\nQUIT\r\n");
        }
    }
}

// proftpd ends the listing and then waits for the client to close its side
// of the data connection before it confirms the transfer.
TEST_F(Listings, ClosesTheDataConnectionBeforeWaitingForTheCompletion) {
    EXPECT_EQ(list(&talven::ftpGetList,
                   [](Peer& control) {
                       Peer connection = servePasvThenAnswer(control, "200 ok");
                       answer(control, "150 listing");
                       connection.send(kThreeKinds);
                       connection.shutdownSending();
                       if (connection.waitForClose(3000)) control.send("226 Transfer complete\r\n");
                   }),
              3);
    EXPECT_EQ(code, 226);
}

TEST_F(Listings, MultiLineRepliesKeepTheSessionInStep) {
    ScriptedServer server([](Peer& control) {
        greetAndLogIn(control);
        serveList(control, kThreeKinds, "226-Options: -l \r\n226 3 matches total");
        serveList(control, kThreeKinds, "226-Options: -l \r\n226 3 matches total");
        answer(control, "257 \"/\" is current");
        serveQuit(control);
    });
    std::int32_t session = connectTo(server);
    Lines lines;
    EXPECT_EQ(talven::ftpGetList(session, lines), 3);
    expectLastStatus(226, "3 matches total");
    EXPECT_EQ(talven::ftpGetFileList(session, lines), 1);
    EXPECT_EQ(talven::ftpCurDir(session), "/");
    talven::ftpQuit(session);
}
