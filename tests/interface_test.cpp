// The exported C interface, called from C, against a scripted server on
// 127.0.0.1:21 (the exported ftpConnect always dials port 21). The test runs
// in a network namespace of its own, where that port is free.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "exported_calls.h"
#include "hooks.h"
#include "talvenftp.h"

using namespace testftp;

namespace {

class ExportedInterface : public ClientTest {
protected:
    // Runs body against a server on port 21 that logs the client in, plays
    // script, and answers QUIT.
    void withSession(const ScriptedServer::Script& script, const std::function<void(std::int32_t)>& body,
                     const char* password = "") {
        ScriptedServer server(
            [&](Peer& control) {
                greetAndLogIn(control);
                script(control);
                serveQuit(control);
            },
            21);
        if (!server.listening()) GTEST_SKIP() << "port 21 on 127.0.0.1 is not available outside a network namespace";
        std::int32_t session = cConnect("127.0.0.1", "anonymous", password);
        ASSERT_GT(session, 0);
        body(session);
        ftpQuit(session);
        transcript = server.transcript();
    }

    std::string status() {
        char text[256];
        std::int32_t code = cStatus(text, sizeof text);
        return std::to_string(code) + " " + text;
    }

    std::string transcript;
};

}  // namespace

TEST_F(ExportedInterface, ConnectsToPort21AndReportsTheLogin) {
    withSession([](Peer&) {}, [&](std::int32_t) { EXPECT_EQ(status(), "230 Logged in"); });
    EXPECT_EQ(transcript, "USER anonymous\r\nPASS \r\nQUIT\r\n");
    EXPECT_EQ(status(), "221 Goodbye.");
}

TEST_F(ExportedInterface, TransfersAndCommandsFromC) {
    const std::string upload = scratch.file("up.bin"), download = scratch.file("down.bin");
    writeFile(upload, patternedBytes(20000));
    std::string stored;
    withSession(
        [&](Peer& control) {
            stored = serveStore(control);
            Peer data = servePasvThenAnswer(control, "200 ok");
            answer(control, "150 go (5 bytes)");
            data.send("hello");
            data.close();
            control.send("226 done\r\n");
            answer(control, "350 Ready");
            answer(control, "250 Renamed");
            answer(control, "257 \"/pub\" is current");
        },
        [&](std::int32_t session) {
            EXPECT_EQ(cPutFile(session, "up.bin", upload.c_str()), 1);
            EXPECT_EQ(cGetFile(session, "hello.txt", download.c_str()), 1);
            EXPECT_EQ(cRename(session, "a", "b"), 1);
            char directory[64];
            EXPECT_EQ(cCurDir(session, directory, sizeof directory), 4);
            EXPECT_STREQ(directory, "/pub");
        });
    EXPECT_EQ(stored, patternedBytes(20000));
    EXPECT_EQ(readFile(download), "hello");
}

TEST_F(ExportedInterface, ListingsFillAStringArrayReplacingTheOneGiven) {
    const std::string listing = "drwxr-xr-x 2 0 0 4096 Dec 08 10:00 sub\r\n-rw-r--r-- 1 0 0 5 Dec 08 10:00 f\r\n";
    auto serveListing = [&](Peer& control) {
        Peer data = servePasvThenAnswer(control, "200 ok");
        answer(control, "150 listing");
        data.send(listing);
        data.close();
        control.send("226 done\r\n");
    };
    withSession(
        [&](Peer& control) {
            for (int i = 0; i < 3; ++i) serveListing(control);
        },
        [&](std::int32_t session) {
            SAFEARRAY* lines = nullptr;
            char joined[512];
            EXPECT_EQ(cList(session, C_ALL, &lines, joined, sizeof joined), 2);
            EXPECT_STREQ(joined, "drwxr-xr-x 2 0 0 4096 Dec 08 10:00 sub\n-rw-r--r-- 1 0 0 5 Dec 08 10:00 f\n");
            EXPECT_EQ(cList(session, C_FILES, &lines, joined, sizeof joined), 1);
            EXPECT_STREQ(joined, "-rw-r--r-- 1 0 0 5 Dec 08 10:00 f\n");
            EXPECT_EQ(cList(session, C_DIRS, &lines, joined, sizeof joined), 1);
            EXPECT_STREQ(joined, "drwxr-xr-x 2 0 0 4096 Dec 08 10:00 sub\n");
            SafeArrayDestroy(lines);
        });
}

// Locked (flag 0 here), or kept in place by the caller's language.
TEST_F(ExportedInterface, ALockedOrFixedArrayIsLeftAlone) {
    withSession([](Peer&) {},
                [&](std::int32_t session) {
                    for (unsigned short flag : {0, FADF_FIXEDSIZE, FADF_STATIC, FADF_AUTO, FADF_EMBEDDED}) {
                        SAFEARRAY* lines = SafeArrayCreateVector(VT_BSTR, 0, 1);
                        SAFEARRAY* const given = lines;
                        void* data = nullptr;
                        if (flag == 0) SafeArrayAccessData(lines, &data);
                        lines->fFeatures |= flag;
                        EXPECT_EQ(ftpGetList(session, &lines), 0) << flag;
                        EXPECT_EQ(lines, given);
                        EXPECT_EQ(status(), "10 Line List Is Fixed Or Locked");
                        given->fFeatures &= static_cast<unsigned short>(~flag);
                        if (flag == 0) SafeArrayUnaccessData(given);
                        SafeArrayDestroy(given);
                    }
                });
    EXPECT_EQ(transcript, "USER anonymous\r\nPASS \r\nQUIT\r\n");
}

// ---- For programs that embed the library: callbacks written in C ----

std::string takeTrace() {
    char text[8192];
    cTakeTrace(text, sizeof text);
    return text;
}

TEST_F(ExportedInterface, TracesEveryLineInOrderWithThePasswordMasked) {
    cTraceNextSessions(1);
    withSession(
        [](Peer& control) {
            answer(control, "250-Deleting\r\n250 Done");
            answer(control, "257 \"/\"");
        },
        [&](std::int32_t session) {
            cTraceNextSessions(0);
            EXPECT_EQ(cDeleteFile(session, "x"), 1);
            EXPECT_EQ(cTrace(session, 0), 1);
            char directory[8];
            cCurDir(session, directory, sizeof directory);
            EXPECT_EQ(cTrace(session, 1), 1);
        },
        "secret");
    EXPECT_EQ(takeTrace(),
              "< 220 Scripted server ready\n> USER anonymous\n< 331 Password required\n> PASS ****\n"
              "< 230 Logged in\n> DELE x\n< 250-Deleting\n< 250 Done\n> QUIT\n< 221 Goodbye.\n");
    EXPECT_EQ(cTrace(99, 1), 0);
    EXPECT_EQ(status(), "94 Not Connected");
}

// Each transfer reports to a callback in C, which cancels uploads and
// downloads half-way: the data connection is broken off, the server's reply
// to it read, the old local file kept, and the session answers on. The
// reply is the next one whatever its code: pure-ftpd answers a download
// whose data connection failed under it with its closing line alone, under
// the go-ahead's code, and no final reply follows.
TEST_F(ExportedInterface, ProgressReachesTheEndOrCancelsTheTransfer) {
    talven::setProgressIntervalForTests(std::chrono::milliseconds(0));
    const std::string upload = scratch.file("up.bin"), download = scratch.file("down.bin");
    writeFile(upload, patternedBytes(200000));
    writeFile(download, "old");
    const struct {
        bool uploading;
        std::string answer;
        std::string directory;  // the server's answer to the next PWD
    } cancels[] = {
        {true, "426 Connection closed; transfer aborted.", "/up"},
        {false, "426 Connection closed; transfer aborted.", "/down"},
        {true, "150 0.001 seconds (measured here), 301.23 Mbytes per second", "/up-150"},
        {false, "150 0.001 seconds (measured here), 301.23 Mbytes per second", "/down-150"},
    };
    std::string stored;
    std::vector<std::string> cut;
    bool brokenOff = true;
    withSession(
        [&](Peer& control) {
            stored = serveStore(control);
            for (const auto& cancel : cancels) {
                if (cancel.uploading) {
                    cut.push_back(serveStore(control, {.completion = cancel.answer}));
                } else {
                    Peer data = servePasvThenAnswer(control, "200 ok");
                    answer(control, "150 go (200000 bytes)");
                    data.send(patternedBytes(200000));
                    brokenOff = data.readAll().empty() && data.brokenOff() && brokenOff;
                    control.send(cancel.answer + "\r\n");
                }
                answer(control, std::string("257 \"") + cancel.directory + "\"");
            }
        },
        [&](std::int32_t session) {
            double done = 0, total = 0;
            EXPECT_EQ(cProgress(session, 1, -1), 1);
            EXPECT_EQ(cPutFile(session, "up.bin", upload.c_str()), 1);
            EXPECT_GE(cProgressSeen(&done, &total), 2);
            EXPECT_EQ(done, 200000);
            EXPECT_EQ(total, 200000);
            char directory[16];
            for (const auto& cancel : cancels) {
                SCOPED_TRACE(cancel.directory);
                cProgress(session, 1, 100000);
                EXPECT_EQ(cancel.uploading ? cPutFile(session, "up.bin", upload.c_str())
                                           : cGetFile(session, "down.bin", download.c_str()),
                          0);
                EXPECT_EQ(status(), "18 Transfer Cancelled");
                cProgressSeen(&done, &total);
                EXPECT_GE(done, 100000);
                EXPECT_LT(done, 200000);
                EXPECT_EQ(total, 200000);
                cCurDir(session, directory, sizeof directory);
                EXPECT_EQ(directory, cancel.directory);
            }
            EXPECT_EQ(cProgress(session, 0, -1), 1);
        });
    talven::setProgressIntervalForTests(std::chrono::milliseconds(100));
    EXPECT_EQ(stored, patternedBytes(200000));
    for (const std::string& bytes : cut) EXPECT_LT(bytes.size(), 200000u);
    EXPECT_EQ(readFile(download), "old");
    if (resetsReachThePeer()) {
        EXPECT_TRUE(brokenOff);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.path()), std::filesystem::directory_iterator()),
              2);
}
