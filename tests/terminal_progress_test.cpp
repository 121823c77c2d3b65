// Progress captions on a terminal: every caption, in order, one per chunk,
// with the cursor placement before each, however many of them go out in
// one console write.
#include <gtest/gtest.h>

#include <vector>

#include "client_fixture.h"
#include "file_limit.h"
#include "os.h"
#include "terminal.h"

using namespace testftp;

namespace {

const std::string kToColumn14 = "\r\x1b[13C";

// The captions of a terminal row, split at each cursor placement.
std::vector<std::string> captionsAfter(const std::string& screen, const std::string& move) {
    std::vector<std::string> captions;
    for (std::size_t at = screen.find(move); at != std::string::npos;) {
        const std::size_t start = at + move.size();
        at = screen.find(move, start);
        captions.push_back(screen.substr(start, at == std::string::npos ? std::string::npos : at - start));
    }
    return captions;
}

// Every upload caption of a file of size bytes: 8192, 16384, ..., size.
std::string expectedUploadCaptions(std::size_t size) {
    std::string captions;
    for (std::size_t sent = 8192; sent < size; sent += 8192)
        captions += kToColumn14 + std::to_string(sent) + " / " + std::to_string(size);
    if (size > 0) captions += kToColumn14 + std::to_string(size) + " / " + std::to_string(size);
    return captions;
}

// Download captions: counts that grow by 1 to 8192 bytes each, "of" total.
void expectDownloadCaptions(const std::vector<std::string>& captions, std::size_t last, std::size_t total) {
    ASSERT_FALSE(captions.empty());
    std::size_t previous = 0;
    for (const std::string& caption : captions) {
        const std::string suffix = " of " + std::to_string(total);
        ASSERT_GT(caption.size(), suffix.size()) << caption;
        ASSERT_EQ(caption.substr(caption.size() - suffix.size()), suffix) << caption;
        const std::size_t count = std::stoull(caption.substr(0, caption.size() - suffix.size()));
        EXPECT_GT(count, previous);
        EXPECT_LE(count - previous, 8192u);
        previous = count;
    }
    EXPECT_EQ(previous, last);
}

class TerminalProgress : public ClientTest {
protected:
    void SetUp() override {
        if (!TerminalCapture::supported()) GTEST_SKIP() << "no pseudo-terminal on this platform";
        ClientTest::SetUp();
    }
};

}  // namespace

TEST_F(TerminalProgress, GatheredTextsComeOutAsIfPlacedOneByOne) {
    TerminalCapture terminal;
    ASSERT_TRUE(os::consoleIsScreen());
    os::consoleWriteEachAtColumn(14, "8192 / 200001 / 20", {11, 20});
    os::consoleWriteEachAtColumn(1, "abc", {1, 1, 3});
    os::consoleWriteEachAtColumn(14, "", {});
    EXPECT_EQ(os::consoleColumn(), 2);
    EXPECT_EQ(terminal.finish(), kToColumn14 + "8192 / 2000" + kToColumn14 + "01 / 20" + "\ra\r\rbc");
}

TEST_F(TerminalProgress, AnUploadShowsEveryCaptionInOrder) {
    // Around a chunk, around a run of chunks sent together, and several MiB.
    for (std::size_t size : {std::size_t{1}, std::size_t{8191}, std::size_t{8192}, std::size_t{8193},
                             std::size_t{20000}, std::size_t{512 * 1024 - 1}, std::size_t{512 * 1024},
                             std::size_t{512 * 1024 + 1}, std::size_t{3 * 1024 * 1024 + 7}}) {
        const std::string local = scratch.file("data.bin");
        writeFile(local, patternedBytes(size));
        std::string received;
        ScriptedServer server([&](Peer& control) {
            greetAndLogIn(control);
            received = serveStore(control);
            serveQuit(control);
        });
        const std::int32_t session = connectTo(server);
        TerminalCapture terminal;
        EXPECT_EQ(talven::ftpPutFile(session, 0, "remote.bin", local), 1);
        const std::string screen = terminal.finish();
        talven::ftpQuit(session);
        EXPECT_EQ(received, patternedBytes(size)) << size;
        EXPECT_EQ(screen, "\rremote.bin    " + expectedUploadCaptions(size) + "\n") << size;
    }
}

TEST_F(TerminalProgress, AnUploadBrokenOffShowsOnlyTheChunksSent) {
    const std::string local = scratch.file("big");
    const std::size_t size = 32 << 20;
    writeFile(local, patternedBytes(size));
    ScriptedServer server([](Peer& control) {
        greetAndLogIn(control);
        answer(control, "200 ok");
        Peer data = servePasvThenAnswer(control, "150 go");
        data.read(1 << 20);
        data.reset();
        control.send("426 Connection closed; transfer aborted.\r\n");
        serveQuit(control);
    });
    const std::int32_t session = connectTo(server);
    TerminalCapture terminal;
    EXPECT_EQ(talven::ftpPutFile(session, 0, "big", local), 0);
    const std::string screen = terminal.finish();
    expectLastStatus(57, "Data Connection Error");
    talven::ftpQuit(session);
    // A leading part of the full sequence, and no line end.
    const std::string all = "\rbig           " + expectedUploadCaptions(size);
    ASSERT_LT(screen.size(), all.size());
    EXPECT_EQ(all.substr(0, screen.size()), screen);
    EXPECT_EQ(all[screen.size()], '\r') << "the screen ends with a whole caption";
}

TEST_F(TerminalProgress, ADownloadShowsACaptionForEveryChunk) {
    for (std::size_t size : {std::size_t{20000}, std::size_t{5 * 1024 * 1024 + 1}}) {
        const std::string local = scratch.file("target.bin");
        const std::string bytes = patternedBytes(size);
        ScriptedServer server([&](Peer& control) {
            greetAndLogIn(control);
            Peer data = servePasvThenAnswer(control, "200 ok");
            answer(control, "150 Opening BINARY mode data connection (" + std::to_string(size) + " bytes).");
            // Pieces of odd sizes, so chunks do not all come whole.
            data.sendInPieces(bytes, 100003, std::chrono::milliseconds(1));
            data.close();
            control.send("226 Transfer complete.\r\n");
            serveQuit(control);
        });
        const std::int32_t session = connectTo(server);
        TerminalCapture terminal;
        EXPECT_EQ(talven::ftpGetFile(session, 0, "f", local), 1);
        const std::string screen = terminal.finish();
        talven::ftpQuit(session);
        EXPECT_EQ(readFile(local), bytes);
        ASSERT_EQ(screen.substr(0, 1), "\r") << "captions from column 1";
        const std::vector<std::string> captions = captionsAfter(screen, "\r");
        EXPECT_GE(captions.size(), (size + 8191) / 8192);
        expectDownloadCaptions(captions, size, size);
    }
}

// However captions are gathered, those of the chunks received come out
// before the client waits for the next data.
TEST_F(TerminalProgress, ADownloadShowsItsCaptionsBeforeItWaitsForMoreData) {
    const std::string local = scratch.file("target.bin");
    const std::string bytes = patternedBytes(40000);
    TerminalCapture terminal;
    bool shownBeforeTheRest = false;
    ScriptedServer server([&](Peer& control) {
        greetAndLogIn(control);
        Peer data = servePasvThenAnswer(control, "200 ok");
        answer(control, "150 Opening BINARY mode data connection (40000 bytes).");
        data.send(bytes.substr(0, 16384));
        // Well within the client's wait for more.
        shownBeforeTheRest = terminal.waitFor("16384 of 40000", std::chrono::milliseconds(500));
        data.send(bytes.substr(16384));
        data.close();
        control.send("226 Transfer complete.\r\n");
        serveQuit(control);
    });
    const std::int32_t session = connectTo(server);
    EXPECT_EQ(talven::ftpGetFile(session, 0, "f", local), 1);
    const std::string screen = terminal.finish();
    talven::ftpQuit(session);
    server.transcript();
    EXPECT_TRUE(shownBeforeTheRest) << screen;
    EXPECT_EQ(readFile(local), bytes);
    expectDownloadCaptions(captionsAfter(screen, "\r"), 40000, 40000);
}

// All the data is at hand before the go-ahead, and the limit falls past the
// first run of chunks written to the file.
TEST_F(TerminalProgress, AFullDiskShowsOnlyTheChunksThatReachedTheFile) {
    if (!FileSizeLimit::supported()) GTEST_SKIP() << "this platform cannot limit the size of a process's files";
    const std::string local = scratch.file("target");
    ScriptedServer server([](Peer& control) {
        greetAndLogIn(control);
        Peer connection = servePasvThenAnswer(control, "200 ok");
        control.readLine();
        connection.send(patternedBytes(140000));
        control.send("150 go (140000 bytes)\r\n");
        connection.waitForClose();
        control.send("426 Transfer aborted.\r\n");
        serveQuit(control);
    });
    const std::int32_t session = connectTo(server);
    std::int32_t result = 0;
    std::string screen;
    {
        TerminalCapture terminal;
        FileSizeLimit limit(100000);
        result = talven::ftpGetFile(session, 0, "f", local);
        screen = terminal.finish();
    }
    EXPECT_EQ(result, 0);
    expectLastStatus(61, "Local File Write Error");
    talven::ftpQuit(session);
    const std::vector<std::string> captions = captionsAfter(screen, "\r");
    ASSERT_FALSE(captions.empty());
    const std::string& last = captions.back();
    const std::size_t shown = std::stoull(last.substr(0, last.find(' ')));
    EXPECT_LE(shown, 100000u);
    EXPECT_GT(shown, 100000u - 8192u);
    expectDownloadCaptions(captions, shown, 140000);
}
