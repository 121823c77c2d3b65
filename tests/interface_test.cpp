// The exported C interface, called from C, against a scripted server on
// 127.0.0.1:21 (the exported ftpConnect always dials port 21). The test runs
// in a network namespace of its own, where that port is free.
#include <gtest/gtest.h>

#include "client_fixture.h"
#include "exported_calls.h"
#include "talvenftp.h"

using namespace testftp;

namespace {

class ExportedInterface : public ClientTest {
protected:
    // Runs body against a server on port 21 that logs the client in, plays
    // script, and answers QUIT.
    void withSession(const ScriptedServer::Script& script, const std::function<void(std::int32_t)>& body) {
        ScriptedServer server(
            [&](Peer& control) {
                greetAndLogIn(control);
                script(control);
                serveQuit(control);
            },
            21);
        if (!server.listening()) GTEST_SKIP() << "port 21 on 127.0.0.1 is not available outside a network namespace";
        std::int32_t session = cConnect("127.0.0.1", "anonymous", "");
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
