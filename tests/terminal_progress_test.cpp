// Progress captions on a terminal: captions of the sequence of one per
// chunk, in order, each with the cursor placement before it, drawn at most
// about once per interval and always the last, so the screen ends as it
// would with every caption drawn.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "client_fixture.h"
#include "file_limit.h"
#include "os.h"
#include "progress.h"
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

// What a terminal shows after the bytes: rows of text, with carriage
// returns, cursor moves right (ESC [ n C) and line feeds acted on.
std::string rendered(const std::string& bytes) {
    std::vector<std::string> rows(1);
    std::size_t column = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            rows.emplace_back();
            column = 0;
        } else if (c == '\x1b' && bytes.compare(i, 2, "\x1b[") == 0) {
            const std::size_t end = bytes.find('C', i);
            column += std::stoul(bytes.substr(i + 2, end - i - 2));
            i = end;
        } else {
            std::string& row = rows.back();
            if (row.size() <= column) row.resize(column + 1, ' ');
            row[column++] = c;
        }
    }
    std::string screen;
    for (const std::string& row : rows) screen += row + "\n";
    return screen;
}

// True when every one of some appears in all, in the same order.
bool inOrderWithin(const std::vector<std::string>& some, const std::vector<std::string>& all) {
    auto at = all.begin();
    for (const std::string& one : some) {
        at = std::find(at, all.end(), one);
        if (at == all.end()) return false;
        ++at;
    }
    return true;
}

// Drawn at most once per interval, and the last: no more than the time
// taken allows (and one more for the last, one for a wait for data).
void expectFewDraws(std::size_t drawn, std::chrono::steady_clock::duration taken) {
    EXPECT_LE(drawn, 3 + static_cast<std::size_t>(taken / talven::kCaptionInterval)) << drawn;
}

// Every upload caption of a file of size bytes: 8192, 16384, ..., size.
std::string expectedUploadCaptions(std::size_t size) {
    std::string captions;
    for (std::size_t sent = 8192; sent < size; sent += 8192)
        captions += kToColumn14 + std::to_string(sent) + " / " + std::to_string(size);
    if (size > 0) captions += kToColumn14 + std::to_string(size) + " / " + std::to_string(size);
    return captions;
}

// Download captions: growing counts "of" total, the last at last; and the
// screen reads the last, as it would with every caption drawn.
void expectDownloadCaptions(const std::string& screen, std::size_t last, std::size_t total) {
    const std::vector<std::string> captions = captionsAfter(screen, "\r");
    ASSERT_FALSE(captions.empty());
    std::size_t previous = 0;
    for (const std::string& caption : captions) {
        const std::string suffix = " of " + std::to_string(total);
        ASSERT_GT(caption.size(), suffix.size()) << caption;
        ASSERT_EQ(caption.substr(caption.size() - suffix.size()), suffix) << caption;
        const std::size_t count = std::stoull(caption.substr(0, caption.size() - suffix.size()));
        EXPECT_GT(count, previous);
        previous = count;
    }
    EXPECT_EQ(previous, last);
    EXPECT_EQ(rendered(screen), captions.back() + "\n");
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

TEST_F(TerminalProgress, AnUploadDrawsItsCaptionsInOrderAndEndsOnTheScreenAsBefore) {
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
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(talven::ftpPutFile(session, 0, "remote.bin", local), 1);
        const auto taken = std::chrono::steady_clock::now() - start;
        const std::string screen = terminal.finish();
        talven::ftpQuit(session);
        EXPECT_EQ(received, patternedBytes(size)) << size;
        const std::string everyCaption = "\rremote.bin    " + expectedUploadCaptions(size) + "\n";
        EXPECT_EQ(rendered(screen), rendered(everyCaption)) << size;
        ASSERT_EQ(screen.substr(0, 15), "\rremote.bin    ");
        const std::vector<std::string> drawn = captionsAfter(screen.substr(0, screen.size() - 1), kToColumn14);
        const std::vector<std::string> all = captionsAfter(everyCaption.substr(0, everyCaption.size() - 1), kToColumn14);
        EXPECT_TRUE(inOrderWithin(drawn, all)) << size;
        ASSERT_FALSE(drawn.empty());
        EXPECT_EQ(drawn.back(), all.back());
        expectFewDraws(drawn.size(), taken);
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
    // Captions of a leading part of the full sequence, and no line end.
    const std::string every = expectedUploadCaptions(size);
    ASSERT_EQ(screen.substr(0, 15), "\rbig           ");
    const std::vector<std::string> drawn = captionsAfter(screen, kToColumn14);
    const std::vector<std::string> all = captionsAfter(every, kToColumn14);
    ASSERT_FALSE(drawn.empty());
    EXPECT_TRUE(inOrderWithin(drawn, all));
    EXPECT_NE(drawn.back(), all.back());
    EXPECT_EQ(rendered(screen), "big          " + drawn.back() + "\n") << "the screen ends with a whole caption";
}

TEST_F(TerminalProgress, ADownloadDrawsGrowingCaptionsAndEndsOnItsSize) {
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
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(talven::ftpGetFile(session, 0, "f", local), 1);
        const auto taken = std::chrono::steady_clock::now() - start;
        const std::string screen = terminal.finish();
        talven::ftpQuit(session);
        EXPECT_EQ(readFile(local), bytes);
        ASSERT_EQ(screen.substr(0, 1), "\r") << "captions from column 1";
        expectDownloadCaptions(screen, size, size);
        expectFewDraws(captionsAfter(screen, "\r").size(), taken);
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
        // The second piece comes well within the interval after the first
        // caption is drawn: its caption, held back, still goes out before
        // the client waits long, well within its wait for more.
        data.send(bytes.substr(0, 8192));
        terminal.waitFor("8192 of 40000", std::chrono::milliseconds(500));
        data.send(bytes.substr(8192, 8192));
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
    expectDownloadCaptions(screen, 40000, 40000);
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
    expectDownloadCaptions(screen, shown, 140000);
}

// The "not yet" checks use an interval no load can outlast; the wait for the
// next "yes" a short one.
TEST(IntervalCheck, SaysYesFirstThenOnlyOnceTheIntervalHasPassed) {
    const auto zero = std::chrono::steady_clock::duration::zero();
    talven::IntervalCheck hourly(std::chrono::milliseconds(3600000));
    EXPECT_EQ(hourly.untilDue(), zero);
    EXPECT_TRUE(hourly.due());
    EXPECT_FALSE(hourly.due());
    EXPECT_GT(hourly.untilDue(), zero);
    EXPECT_LE(hourly.untilDue(), std::chrono::milliseconds(3600000));
    talven::IntervalCheck quick(std::chrono::milliseconds(20));
    EXPECT_TRUE(quick.due());
    // A system's sleep may end a tick early (Windows counts in ticks).
    std::this_thread::sleep_for(quick.untilDue() + std::chrono::milliseconds(30));
    EXPECT_TRUE(quick.due());
    talven::IntervalCheck always(std::chrono::milliseconds(0));
    EXPECT_TRUE(always.due());
    EXPECT_TRUE(always.due());
}
