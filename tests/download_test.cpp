// Downloads against the scripted server: the bytes, the replaced file, and
// every way a download can fail without harming the file already there.
#include <gtest/gtest.h>

#include "client_fixture.h"
#include "file_limit.h"
#include "named_pipe.h"
#include "os.h"

using namespace testftp;

namespace {

// Serves a download: PASV (with a fresh data listener), TYPE, RETR; sends
// data and closes the data connection, then the completion reply.
void serveRetrieve(Peer& control, const std::string& data, const TransferReplies& replies) {
    Peer connection = servePasvThenAnswer(control, replies.type);
    answer(control, replies.goAhead);
    connection.send(data);
    connection.close();
    control.send(replies.completion + "\r\n");
}

TransferReplies retrieveReplies(std::size_t size) {
    TransferReplies replies;
    replies.goAhead = "150 Opening BINARY mode data connection for f (" + std::to_string(size) + " bytes).";
    return replies;
}

class Download : public SessionTest {
protected:
    std::int32_t get(const ScriptedServer::Script& script, const std::string& remote, const std::string& local,
                     std::int32_t window = 0) {
        std::int32_t result = -1;
        sent = onSession(script, [&](std::int32_t session) {
            console = consoleOutputOf([&] { result = talven::ftpGetFile(session, window, remote, local); });
        });
        return result;
    }

    // Only the targets themselves may be left in the scratch directory.
    void expectNoTemporaryFile() {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(scratch.path()))
            EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
    }

    std::string console;
    std::string sent;
};

}  // namespace

TEST_F(Download, ReplacesTheLocalFileWithExactlyTheBytesReceived) {
    const std::string local = scratch.file("target.bin");
    for (std::size_t size : {std::size_t{0}, std::size_t{20000}, std::size_t{5 * 1024 * 1024 + 1}}) {
        writeFile(local, std::string(6 * 1024 * 1024, 'o'));  // longer than anything received
        const std::string bytes = patternedBytes(size);
        EXPECT_EQ(get([&](Peer& control) { serveRetrieve(control, bytes, retrieveReplies(size)); }, "f", local), 1);
        EXPECT_EQ(readFile(local), bytes) << size;
        EXPECT_EQ(sent, "PASV\r\nTYPE I\r\nRETR f\r\nQUIT\r\n");
        EXPECT_EQ(code, 226);
        const std::string caption = size == 0 ? "" : std::to_string(size) + " of " + std::to_string(size);
        EXPECT_EQ(console, caption) << "no line end after the last caption";
        expectNoTemporaryFile();
    }
}

// A target whose path is almost as long as the system allows (255 of at
// most 259 characters on Windows) is written, though the temporary file
// beside it has a longer name than the target's.
TEST_F(Download, ATargetWithAPathOfAlmostTheLongestLengthIsWritten) {
    const std::string base = std::filesystem::absolute(scratch.path()).string();
    ASSERT_LT(base.size(), 200u);
    const std::filesystem::path folder = scratch.path() / std::string(245 - base.size(), 'd');
    std::filesystem::create_directory(folder);
    const std::string local = (folder / "file.bin").string();
    ASSERT_EQ(std::filesystem::absolute(local).string().size(), 255u);
    const std::string bytes = patternedBytes(20000);
    EXPECT_EQ(get([&](Peer& control) { serveRetrieve(control, bytes, retrieveReplies(20000)); }, "f", local), 1)
        << code << " " << text;
    EXPECT_TRUE(readFile(local) == bytes);
    expectNoTemporaryFile();
}

// The new file takes the target's place as the target was: under a name as
// long as the file system allows, with the target's permissions, owner and
// group, and through a symbolic link, which stays a link.
TEST_F(Download, TheNewFileTakesTheTargetsPlace) {
    namespace fs = std::filesystem;
    const std::string bytes = patternedBytes(20000);
    auto download = [&](const std::string& local) {
        return get([&](Peer& control) { serveRetrieve(control, bytes, retrieveReplies(bytes.size())); }, "f", local);
    };
    const std::string longName = scratch.file(std::string(250, 'n')), fresh = scratch.file("fresh");
    writeFile(longName, "old");
    EXPECT_EQ(download(longName), 1);
    EXPECT_TRUE(readFile(longName) == bytes);
    EXPECT_EQ(download(fresh), 1);
    writeFile(scratch.file("any new file"), "");
    EXPECT_EQ(fs::status(fresh).permissions(), fs::status(scratch.file("any new file")).permissions());

    const std::string kept = scratch.file("kept");
    for (fs::perms mode : {fs::perms::owner_read | fs::perms::owner_write,
                           fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                           fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read}) {
        writeFile(kept, "old");
        fs::permissions(kept, mode);
        if (fs::status(kept).permissions() != mode) break;  // no such permission bits here
        EXPECT_EQ(download(kept), 1);
        EXPECT_EQ(fs::status(kept).permissions(), mode);
        EXPECT_TRUE(readFile(kept) == bytes);
    }
    const FileOwner givenAway{1, 2};  // where the process may give files away
    if (setOwner(kept, givenAway)) {
        EXPECT_EQ(download(kept), 1);
        EXPECT_EQ(ownerOf(kept), givenAway);
    }

    const std::string link = scratch.file("link"), named = scratch.file("folder/named");
    fs::create_directory(scratch.file("folder"));
    writeFile(named, "old");
    std::error_code noLinks;
    fs::create_symlink("folder/named", link, noLinks);
    if (!noLinks) {
        EXPECT_EQ(download(link), 1);
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_TRUE(readFile(named) == bytes);
    }
    expectNoTemporaryFile();
}

// A name planted where the temporary file would go, in any form, is passed
// over for the next one; nothing is written through a link.
TEST_F(Download, TemporaryNamesTakenInAnyFormArePassedOver) {
    namespace fs = std::filesystem;
    const std::string bytes = patternedBytes(20000), target = scratch.file("target");
    const std::string victim = scratch.file("victim"), nowhere = scratch.file("nowhere");
    writeFile(victim, "victim");
    std::error_code noLinks;
    fs::create_symlink(nowhere, scratch.file(".talven-1.part"), noLinks);  // names nothing
    fs::create_symlink(victim, scratch.file(".talven-2.part"), noLinks);
    fs::create_directory(scratch.file(".talven-3.part"));
    EXPECT_EQ(get([&](Peer& control) { serveRetrieve(control, bytes, retrieveReplies(bytes.size())); }, "f", target),
              1);
    EXPECT_TRUE(readFile(target) == bytes);
    EXPECT_EQ(readFile(victim), "victim");
    EXPECT_FALSE(fs::exists(nowhere));
    EXPECT_TRUE(fs::is_directory(scratch.file(".talven-3.part")));
    EXPECT_FALSE(fs::exists(scratch.file(".talven-4.part")));
}

TEST_F(Download, TheAnnouncedSizeComesFromTheFirstParentheses) {
    const std::string local = scratch.file("f");
    TransferReplies replies;
    replies.goAhead = "150 Opening data connection (20000 bytes) (99)";
    EXPECT_EQ(get([&](Peer& control) { serveRetrieve(control, patternedBytes(20000), replies); }, "f", local), 1);
    EXPECT_EQ(console, "20000 of 20000");
    replies.goAhead = "150-Accepted data connection\r\n150 19.5 kbytes to download";
    EXPECT_EQ(get([&](Peer& control) { serveRetrieve(control, patternedBytes(20000), replies); }, "f", local), 1);
    EXPECT_EQ(console, "20000 of 0");
    replies.goAhead = "125 Data connection already open; transfer starting (1099511627776)";
    EXPECT_EQ(get([&](Peer& control) { serveRetrieve(control, "abc", replies); }, "f", local), 1);
    EXPECT_EQ(console, "3 of 1099511627776");
    EXPECT_EQ(readFile(local), "abc");
}

TEST_F(Download, ARefusedRetrOrPasvLeavesTheOldFileAsItWas) {
    const std::string local = scratch.file("keep.txt");
    writeFile(local, "precious");
    EXPECT_EQ(get(
                  [](Peer& control) {
                      Peer connection = servePasvThenAnswer(control, "200 ok");
                      answer(control, "550 No such file.");
                  },
                  "missing", local),
              0);
    EXPECT_EQ(code, 550);
    EXPECT_EQ(text, "No such file.");
    EXPECT_EQ(readFile(local), "precious");
    expectNoTemporaryFile();

    EXPECT_EQ(get([](Peer& control) { answer(control, "425 No passive port"); }, "f", local), 0);
    EXPECT_EQ(code, 425);
    EXPECT_EQ(sent, "PASV\r\nQUIT\r\n");
    EXPECT_EQ(readFile(local), "precious");
    expectNoTemporaryFile();
}

// Otherwise the target stays as it was. The session stays in step: the next
// command gets its own reply. After a stall the server is taken for hung and
// the session ends at once.
TEST_F(Download, OnlyACleanEndConfirmedWith226Or250ReplacesTheTarget) {
    const std::string local = scratch.file("target");
    const std::string bytes = patternedBytes(100000);
    for (const ReceivedEnding& ending : kReceivedEndings) {
        SCOPED_TRACE(ending.completion);
        if (ending.end == ReceivedEnding::resets && !resetsReachThePeer()) continue;
        const std::string status = ending.expectedStatus();
        writeFile(local, "precious");
        std::int32_t result = -1;
        std::string directory;
        const std::string sent = onSession(
            [&](Peer& control) { serveReceivedEnding(control, ending, "150 go (1000000 bytes)", bytes); },
            [&](std::int32_t session) {
                result = talven::ftpGetFile(session, 1, "f", local);
                expectLastStatus(talven::ftpReplyCode(status), status.substr(4));
                directory = talven::ftpCurDir(session);
            });
        EXPECT_EQ(result, talven::ftpReplyCode(status) == 250 ? 1 : 0);
        EXPECT_EQ(readFile(local), result == 1 ? bytes : "precious");
        expectNoTemporaryFile();
        const bool lost = ending.end == ReceivedEnding::stalls;
        EXPECT_EQ(directory, lost ? "" : "/");
        EXPECT_EQ(sent, lost ? "PASV\r\nTYPE I\r\nRETR f\r\n" : "PASV\r\nTYPE I\r\nRETR f\r\nPWD\r\nQUIT\r\n");
    }
}

TEST_F(Download, TargetsThatCannotBeReplacedOrCreated) {
    const std::string readOnly = scratch.file("read-only");
    writeFile(readOnly, "old");
    std::filesystem::permissions(readOnly, std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                               std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    EXPECT_EQ(get([](Peer&) {}, "f", readOnly), 0);
    EXPECT_EQ(code, 70);
    EXPECT_EQ(text, "Local File Can't be deleted");
    EXPECT_EQ(sent, "QUIT\r\n");
    EXPECT_EQ(readFile(readOnly), "old");
    std::filesystem::permissions(readOnly, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);

    EXPECT_EQ(get([](Peer&) {}, "f", scratch.file("no-such-directory/f")), 0);
    EXPECT_EQ(code, 76);
    EXPECT_EQ(text, "Local File Open Error");
    EXPECT_EQ(sent, "QUIT\r\n");

    const std::string directory = scratch.file("directory");
    std::filesystem::create_directory(directory);
    writeFile(directory + "/inside", "content");
    EXPECT_EQ(get([](Peer&) {}, "f", directory), 0);
    EXPECT_EQ(code, 70);
    EXPECT_EQ(text, "Local File Open Error");
    EXPECT_EQ(readFile(directory + "/inside"), "content");
    expectNoTemporaryFile();

    // A device is refused before anything is asked of the server.
    for (const std::string& device : deviceNames()) {
        EXPECT_EQ(get([](Peer&) {}, "f", device), 0) << device;
        EXPECT_EQ(code, 70) << device;
        EXPECT_EQ(text, "Local File Can't be deleted") << device;
        EXPECT_EQ(sent, "QUIT\r\n") << device;
    }
}

TEST_F(Download, AFileHeldExclusivelyElsewhereIsNotReplaced) {
    const std::string local = scratch.file("held");
    os::FileHandle holder{};
    ASSERT_EQ(os::createExclusive(local, holder), 0);
    EXPECT_EQ(get([](Peer&) {}, "f", local), 0);
    os::closeFile(holder);
    EXPECT_EQ(code, 70);
    EXPECT_EQ(text, "Local File Can't be deleted");
    EXPECT_EQ(sent, "QUIT\r\n");
}

TEST_F(Download, AFullDiskFailsTheDownloadAndKeepsTheOldFile) {
    if (!FileSizeLimit::supported()) GTEST_SKIP() << "this platform cannot limit the size of a process's files";
    const std::string local = scratch.file("old");
    writeFile(local, "previous content");
    std::string directory;
    ScriptedServer server([](Peer& control) {
        greetAndLogIn(control);
        Peer connection = servePasvThenAnswer(control, "200 ok");
        answer(control, "150 go (100000 bytes)");
        connection.send(patternedBytes(100000));
        connection.waitForClose();
        control.send("426 Transfer aborted.\r\n");
        answer(control, "257 \"/\" is current");
        serveQuit(control);
    });
    std::int32_t session = connectTo(server);
    std::int32_t result = 0;
    {
        FileSizeLimit limit(50000);  // the disk is full after 50000 bytes
        result = talven::ftpGetFile(session, 1, "f", local);
    }
    EXPECT_EQ(result, 0);
    expectLastStatus(61, "Local File Write Error");
    EXPECT_EQ(readFile(local), "previous content");
    expectNoTemporaryFile();
    EXPECT_EQ(talven::ftpCurDir(session), "/");  // the 426 did not stay in the stream
    talven::ftpQuit(session);
}

// proftpd ends the data and then waits for the client to close its side of
// the data connection before it confirms the transfer.
TEST_F(Download, ClosesTheDataConnectionBeforeWaitingForTheCompletion) {
    const std::string local = scratch.file("f");
    EXPECT_EQ(get(
                  [](Peer& control) {
                      Peer connection = servePasvThenAnswer(control, "200 ok");
                      answer(control, "150 go (5 bytes)");
                      connection.send("hello");
                      connection.shutdownSending();
                      if (connection.waitForClose(3000)) control.send("226 Transfer complete\r\n");
                  },
                  "f", local),
              1);
    EXPECT_EQ(code, 226);
    EXPECT_EQ(readFile(local), "hello");
}

TEST_F(Download, ARemoteNameWithALineBreakIsRefused) {
    EXPECT_EQ(get([](Peer&) {}, "f\r\nDELE x", scratch.file("f")), 0);
    EXPECT_EQ(code, 5);
    EXPECT_EQ(sent, "QUIT\r\n");
}
