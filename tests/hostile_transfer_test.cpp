// Servers that misbehave during downloads and listings: sizes that lie, data
// connections that stall or never end, connections that close at every
// step. Each case checks the result, the last status, the local files and
// that nothing was left open.
#include <gtest/gtest.h>

#include <chrono>

#include "client_fixture.h"
#include "stream.h"

using namespace testftp;
using namespace std::chrono_literals;

namespace {

class HostileTransfer : public SessionTest {
protected:
    // Downloads "f" into the target with the console captured.
    std::int32_t download(std::int32_t session) {
        ::testing::internal::CaptureStdout();
        const std::int32_t result = talven::ftpGetFile(session, 0, "f", target);
        console = ::testing::internal::GetCapturedStdout();
        return result;
    }

    // The names in the scratch directory: a download leaves the target alone.
    std::vector<std::string> scratchNames() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(scratch.path()))
            names.push_back(entry.path().filename().string());
        return names;
    }

    const std::string target = scratch.file("target");
    std::string console;
};

// PASV with a fresh listener, the data connection accepted, then TYPE and
// the transfer command answered with goAhead.
Peer openTransfer(Peer& control, const std::string& goAhead) {
    Peer data = servePasvThenAnswer(control, "200 Type set");
    answer(control, goAhead);
    return data;
}

// A listing whose data never ends: block after block until the client has
// closed the data connection.
void serveEndlessListing(Peer& control, const std::string& block) {
    Peer data = openTransfer(control, "150 Here it comes");
    while (data.send(block)) {
    }
    control.send("426 Transfer aborted\r\n");
}

const std::vector<std::string> kTargetOnly = {"target"};

}  // namespace

// ---- Downloads ----

TEST_F(HostileTransfer, AnnouncedSizesThatLie) {
    struct Case {
        std::string goAhead;
        std::size_t size;
        std::string caption;
    };
    const Case cases[] = {
        {"150 Opening (5 bytes)", 20000, "20000 of 5"},
        {"150 Opening (1099511627776 bytes)", 3, "3 of 1099511627776"},
        {"150 Opening (-20000 bytes)", 3, "3 of 0"},
        {"150 Opening (99999999999999999999999999 bytes)", 3, "3 of 9223372036854775807"},
        {"150 Opening (bytes: 5)", 3, "3 of 0"},
    };
    for (const Case& lie : cases) {
        writeFile(target, "old");
        onSession(
            [&](Peer& control) {
                Peer data = openTransfer(control, lie.goAhead);
                data.send(patternedBytes(lie.size));
                data.close();
                control.send("226 Done\r\n");
                serveQuit(control);
            },
            [&](std::int32_t session) { EXPECT_EQ(download(session), 1); });
        EXPECT_EQ(console, lie.caption);
        EXPECT_EQ(readFile(target), patternedBytes(lie.size));
        EXPECT_EQ(scratchNames(), kTargetOnly);
    }
}

TEST_F(HostileTransfer, ADataConnectionThatNeverSendsEndsTheSessionAfterOneWait) {
    writeFile(target, "old");
    const auto start = std::chrono::steady_clock::now();
    const std::string sent = onSession(
        [](Peer& control) {
            Peer data = openTransfer(control, "150 Opening (100 bytes)");
            data.waitForClose(5000);
            serveQuit(control);
        },
        [&](std::int32_t session) {
            EXPECT_EQ(download(session), 0);
            EXPECT_EQ(talven::ftpCurDir(session), "");
        });
    // The data stalled for a whole wait: the server is taken for hung, and
    // its reply, should one come later, would pass for the next command's.
    expectStatus(24, "Data Connection Timed Out");
    EXPECT_EQ(sent, "PASV\r\nTYPE I\r\nRETR f\r\n");
    EXPECT_EQ(readFile(target), "old");
    EXPECT_EQ(scratchNames(), kTargetOnly);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(HostileTransfer, AServerThatClosesDuringADownload) {
    const std::pair<const char*, ScriptedServer::Script> cases[] = {
        {"after PASV", [](Peer& control) { control.readLine(); }},
        {"before TYPE",
         [](Peer& control) {
             Listener listener;
             answer(control, listener.pasvReply());
             Peer data = listener.accept();
             control.readLine();
         }},
        {"after 150", [](Peer& control) { Peer data = openTransfer(control, "150 Opening (30000 bytes)"); }},
        {"in the middle of the data",
         [](Peer& control) {
             Peer data = openTransfer(control, "150 Opening (30000 bytes)");
             data.send(patternedBytes(10000));
         }},
    };
    for (const auto& closing : cases) {
        SCOPED_TRACE(closing.first);
        writeFile(target, "old");
        onSession(
            [&](Peer& control) {
                closing.second(control);
                control.close();
            },
            [&](std::int32_t session) { EXPECT_EQ(download(session), 0); });
        expectStatus(92, "Control Connection Lost");
        EXPECT_EQ(readFile(target), "old");
        EXPECT_EQ(scratchNames(), kTargetOnly);
    }
}

TEST_F(HostileTransfer, AGoAheadThatIsRefusalOrEndlessKeepsTheOldFile) {
    const std::string goAheads[] = {"421 Service closing", "150 " + std::string(1 << 20, 's')};
    for (const std::string& goAhead : goAheads) {
        writeFile(target, "old");
        onSession(
            [&](Peer& control) {
                Peer data = openTransfer(control, goAhead);
                control.waitForClose(3000);
            },
            [&](std::int32_t session) { EXPECT_EQ(download(session), 0); });
        if (goAhead[0] == '4')
            expectStatus(421, "Service closing");
        else
            expectStatus(93, "Reply Too Long");
        EXPECT_EQ(readFile(target), "old");
        EXPECT_EQ(scratchNames(), kTargetOnly);
    }
}

// ---- Listings ----

// Each line counts every byte read for it (CRs too) and the memory of its
// string: a listing that fills the bound exactly is whole, one that goes
// past it is cut there and fails, its completion reply read and dropped.
TEST_F(HostileTransfer, AListingIsBoundedByTheBytesReadForIt) {
    for (const std::string& line : {std::string(100, 'l') + "\r\n", std::string("-").append(1000, '\r').append("\n")}) {
        const std::size_t kept = talven::kListingSizeLimit / (line.size() + sizeof(std::string));
        std::string whole, block;
        whole.reserve(kept * line.size());
        for (std::size_t i = 0; i < kept; ++i) whole += line;
        for (int i = 0; i < 100; ++i) block += line;
        std::vector<std::string> lines;
        std::int32_t result = -1;
        onSession(
            [&](Peer& control) {
                Peer data = openTransfer(control, "150 Here it comes");
                data.send(whole);
                data.close();
                control.send("226 Done\r\n");
            },
            [&](std::int32_t session) { result = talven::ftpGetList(session, lines); });
        EXPECT_EQ(result, static_cast<std::int32_t>(kept));
        EXPECT_EQ(lines.back(), line.substr(0, line.find_first_of("\r\n")));
        std::string directory;
        onSession(
            [&](Peer& control) {
                serveEndlessListing(control, block);
                answer(control, "257 \"/\" is current");
            },
            [&](std::int32_t session) {
                EXPECT_EQ(talven::ftpGetList(session, lines), 0);
                expectLastStatus(12, "Listing Too Long");
                directory = talven::ftpCurDir(session);
            });
        EXPECT_EQ(lines, std::vector<std::string>{""});
        EXPECT_EQ(directory, "/");
    }
}

// A line longer than the line capacity is no entry: the listing fails and
// never returns its pieces, of which the second would pass the file filter.
TEST_F(HostileTransfer, AListingLineLongerThanTheLineCapacityFailsTheListing) {
    std::string listing = "drwxr-xr-x 2 0 0 0 Dec 08 10:00 sub\r\n";
    listing.append(talven::kLineCapacity, 'x').append("-rw-r--r-- 1 0 0 1 Dec 08 10:00 planted\r\n");
    for (auto list : {&talven::ftpGetList, &talven::ftpGetFileList}) {
        std::vector<std::string> lines;
        std::string directory;
        onSession(
            [&](Peer& control) {
                Peer data = openTransfer(control, "150 Here it comes");
                data.send(listing);
                data.close();
                control.send("226 Done\r\n");
                answer(control, "257 \"/\" is current");
            },
            [&](std::int32_t session) {
                EXPECT_EQ(list(session, lines), 0);
                expectLastStatus(13, "Listing Line Too Long");
                directory = talven::ftpCurDir(session);
            });
        EXPECT_EQ(lines, std::vector<std::string>{""});
        EXPECT_EQ(directory, "/");
    }
}

TEST_F(HostileTransfer, AListingThatNeverComesEndsTheSessionAfterOneWait) {
    std::vector<std::string> lines;
    const auto start = std::chrono::steady_clock::now();
    const std::string sent = onSession(
        [](Peer& control) {
            Peer data = openTransfer(control, "150 Here it comes");
            data.waitForClose(5000);
            serveQuit(control);
        },
        [&](std::int32_t session) { EXPECT_EQ(talven::ftpGetList(session, lines), 0); });
    EXPECT_EQ(lines, std::vector<std::string>{""});
    expectStatus(24, "Data Connection Timed Out");
    EXPECT_EQ(sent, "PASV\r\nTYPE A\r\nLIST\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// Lines as long as the line capacity allows (its CR and LF counted, or
// ended by the close) are kept whole; longer ones fail the listing (see
// AListingLineLongerThanTheLineCapacityFailsTheListing).
TEST_F(HostileTransfer, OddAndLongestListingLinesAreKeptAsTheyCame) {
    const std::string odd = literalBytes("-rw \0 caf\xE9 \xFF\x80 name");
    const std::string longest(talven::kLineCapacity - 2, 'x'), last(talven::kLineCapacity - 1, 'y');
    std::vector<std::string> lines;
    onSession(
        [&](Peer& control) {
            Peer data = openTransfer(control, "150 Here it comes");
            std::string listing = odd;
            listing.append("\r\n").append(longest).append("\r\n").append(last);
            data.send(listing);
            data.close();
            control.send("226 Done\r\n");
            serveQuit(control);
        },
        [&](std::int32_t session) { EXPECT_EQ(talven::ftpGetList(session, lines), 3); });
    EXPECT_EQ(lines, (std::vector<std::string>{"", odd, longest, last}));
    expectStatus(226, "Done");
}

TEST_F(HostileTransfer, AServerThatClosesTheControlConnectionDuringAListing) {
    std::vector<std::string> lines;
    onSession(
        [](Peer& control) {
            Peer data = openTransfer(control, "150 Here it comes");
            control.close();
            data.send("-rw one\r\ndrw two\r\n");
        },
        [&](std::int32_t session) { EXPECT_EQ(talven::ftpGetList(session, lines), 0); });
    // Without its completion reply the listing counts as failed.
    EXPECT_EQ(lines, std::vector<std::string>{""});
    expectStatus(92, "Control Connection Lost");
}
