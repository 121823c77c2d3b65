// Bad input from callers, through the exported C interface as other
// programs call it: names that would end a command early, very long, empty
// and non-ASCII names, and handles that name no session.
#include <gtest/gtest.h>

#include <climits>

#include "client_fixture.h"
#include "file_limit.h"
#include "os.h"
#include "named_pipe.h"
#include "stream.h"
#include "talvenftp.h"

using namespace testftp;

namespace {

// A caller's BSTR argument.
class Text {
public:
    explicit Text(std::string_view bytes)
        : value_(SysAllocStringByteLen(bytes.data(), static_cast<unsigned int>(bytes.size()))), kept_(value_) {}
    ~Text() { SysFreeString(value_); }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    BSTR* ref() { return &value_; }
    // True when the callee left the string as it was handed over.
    bool unchanged(std::string_view bytes) const { return value_ == kept_ && bytesOf(value_) == bytes; }

    static std::string bytesOf(BSTR string) {
        return std::string(reinterpret_cast<const char*>(string), SysStringByteLen(string));
    }

private:
    BSTR value_;
    BSTR kept_;
};

// Takes a string result, frees it and gives its bytes.
std::string take(BSTR result) {
    EXPECT_NE(result, nullptr);
    std::string bytes = Text::bytesOf(result);
    SysFreeString(result);
    return bytes;
}

void expectExportedStatus(std::int32_t code, const std::string& text) {
    EXPECT_EQ(FTPGETLASTSTATUSCODE(), code);
    EXPECT_EQ(take(FTPGETLASTSTATUSMSG()), text);
}

class BadInput : public SessionTest {};

const std::string kUnsafeNames[] = {"a\rb", "a\nb", literalBytes("a\0b"), "\r\n", "f\r\nDELE important",
                                    literalBytes("\0")};

}  // namespace

TEST_F(BadInput, NamesThatWouldEndTheCommandEarlyAreRefusedBeforeSending) {
    const std::string local = scratch.file("local");
    writeFile(local, "abc");
    const std::string sent = onSession([](Peer&) {}, [&](std::int32_t session) {
        Text good("good"), path(local), fetched(local + ".fetched");
        for (const std::string& name : kUnsafeNames) {
            Text bad(name);
            EXPECT_EQ(ftpDeleteFile(session, bad.ref()), 0);
            expectExportedStatus(5, "Invalid Character In Argument");
            talven::ftpRecordReply("");
            EXPECT_EQ(FTPMAKEDIR(session, bad.ref()), 0);
            expectExportedStatus(5, "Invalid Character In Argument");
            talven::ftpRecordReply("");
            EXPECT_EQ(FTPREMOVEDIR(session, bad.ref()), 0);
            expectExportedStatus(5, "Invalid Character In Argument");
            talven::ftpRecordReply("");
            EXPECT_EQ(FTPMOVEORRENAME(session, bad.ref(), good.ref()), 0);
            expectExportedStatus(5, "Invalid Character In Argument");
            talven::ftpRecordReply("");
            EXPECT_EQ(FTPMOVEORRENAME(session, good.ref(), bad.ref()), 0);
            expectExportedStatus(5, "Invalid Character In Argument");
            talven::ftpRecordReply("");
            EXPECT_EQ(ftpChangeDir(session, bad.ref()), 0);
            expectExportedStatus(5, "Invalid Character In Argument");
            talven::ftpRecordReply("");
            ::testing::internal::CaptureStdout();
            EXPECT_EQ(ftpPutFile(session, 0, bad.ref(), path.ref()), 0);
            EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
            expectExportedStatus(5, "Invalid Character In Argument");
            talven::ftpRecordReply("");
            EXPECT_EQ(ftpGetFile(session, 1, bad.ref(), fetched.ref()), 0);
            expectExportedStatus(5, "Invalid Character In Argument");
            EXPECT_EQ(os::pathKind(local + ".fetched"), os::PathKind::missing);
            EXPECT_TRUE(bad.unchanged(name));
        }
        EXPECT_TRUE(good.unchanged("good"));
    });
    EXPECT_EQ(sent, "QUIT\r\n");
}

TEST_F(BadInput, UserNamesAndPasswordsThatWouldEndTheCommandEarly) {
    Text host("127.0.0.1"), good("anonymous");
    for (const std::string& name : kUnsafeNames) {
        Text bad(name);
        EXPECT_EQ(ftpConnect(host.ref(), bad.ref(), good.ref()), -1);
        expectExportedStatus(5, "Invalid Character In Argument");
        talven::ftpRecordReply("");
        EXPECT_EQ(ftpConnect(host.ref(), good.ref(), bad.ref()), -1);
        expectExportedStatus(5, "Invalid Character In Argument");
    }
    // A NUL would cut the host name short and name another host; no name at
    // all would name this computer on some platforms.
    Text cutHost(literalBytes("127.0.0.1\0.example"));
    EXPECT_EQ(ftpConnect(cutHost.ref(), good.ref(), good.ref()), -1);
    expectExportedStatus(57, "Unable to open socket");
    talven::ftpRecordReply("");
    EXPECT_EQ(ftpConnect(nullptr, good.ref(), good.ref()), -1);
    expectExportedStatus(57, "Unable to open socket");
}

TEST_F(BadInput, LongEmptyAndNonAsciiNamesAreSentAsTheyStand) {
    const std::string longName(64 * 1024, 'n');
    const std::string nonAscii = "caf\xE9/\xFF\x80\x01\x7F name";
    std::vector<std::string> replies = {"250 Deleted", "550 " + longName + ": no such directory", "501 Empty name",
                                        "501 Empty name", "250 Removed", "350 Ready", "250 Renamed",
                                        "250 Changed", "250 Changed"};
    const std::string sent = onSession(
        [&](Peer& control) {
            for (const std::string& reply : replies) answer(control, reply);
        },
        [&](std::int32_t session) {
            Text longText(longName), odd(nonAscii), empty(""), blanks(std::string(64 * 1024, ' '));
            BSTR none = nullptr;
            EXPECT_EQ(ftpDeleteFile(session, longText.ref()), 1);
            EXPECT_EQ(FTPMAKEDIR(session, longText.ref()), 0);
            // The reply line is longer than the line capacity: its first
            // 65,536 bytes stand for it.
            expectExportedStatus(550, std::string(talven::kLineCapacity - 4, 'n'));
            EXPECT_EQ(FTPMAKEDIR(session, empty.ref()), 0);
            EXPECT_EQ(FTPMAKEDIR(session, &none), 0);
            EXPECT_EQ(FTPREMOVEDIR(session, odd.ref()), 1);
            EXPECT_EQ(FTPMOVEORRENAME(session, odd.ref(), longText.ref()), 1);
            EXPECT_EQ(ftpChangeDir(session, blanks.ref()), 1);
            EXPECT_EQ(ftpChangeDir(session, nullptr), 1);
            expectExportedStatus(250, "Changed");
            EXPECT_TRUE(longText.unchanged(longName));
            EXPECT_TRUE(odd.unchanged(nonAscii));
            EXPECT_EQ(none, nullptr);
        });
    EXPECT_EQ(sent, "DELE " + longName + "\r\nMKD " + longName + "\r\nMKD \r\nMKD \r\nRMD " + nonAscii + "\r\nRNFR " +
                        nonAscii + "\r\nRNTO " + longName + "\r\nCWD \r\nCWD \r\nQUIT\r\n");
}

TEST_F(BadInput, LocalPathsThatNameNoFile) {
    const std::string existing = scratch.file("existing");
    writeFile(existing, "abc");
    const std::string paths[] = {existing + literalBytes("\0.other"), std::string(), std::string(64 * 1024, 'p'),
                                 existing + "/inside"};
    const std::string sent = onSession([](Peer&) {}, [&](std::int32_t session) {
        Text remote("r");
        for (const std::string& path : paths) {
            Text local(path);
            ::testing::internal::CaptureStdout();
            EXPECT_EQ(ftpPutFile(session, 0, remote.ref(), local.ref()), 0);
            EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
            expectExportedStatus(1, "Local File Not Found");
        }
        EXPECT_EQ(ftpPutFile(session, 0, remote.ref(), nullptr), 0);
        expectExportedStatus(1, "Local File Not Found");
    });
    EXPECT_EQ(sent, "QUIT\r\n");
}

TEST_F(BadInput, NonAsciiLocalPathsAreUsedAsTheyStand) {
    const std::string local = scratch.file("caf\xC3\xA9 \xE2\x82\xAC");
    writeFile(local, "bytes");
    std::string received;
    onSession([&](Peer& control) { received = serveStore(control); }, [&](std::int32_t session) {
        Text remote("r"), path(local);
        EXPECT_EQ(ftpPutFile(session, 1, remote.ref(), path.ref()), 1);
    });
    EXPECT_EQ(received, "bytes");
}

namespace {

void expectElementZeroAlone(SAFEARRAY* lines) {
    ASSERT_NE(lines, nullptr);
    LONG lower = -1, upper = -1;
    EXPECT_EQ(SafeArrayGetLBound(lines, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(lines, 1, &upper), S_OK);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 0);
    BSTR* elements = nullptr;
    ASSERT_EQ(SafeArrayAccessData(lines, reinterpret_cast<void**>(&elements)), S_OK);
    EXPECT_EQ(Text::bytesOf(elements[0]), "");
    SafeArrayUnaccessData(lines);
}

// Every operation on a handle that names no open session, or a lost one:
// each fails with the given status and sends nothing. The upload writes its
// console row when it cannot know before sending (console).
void expectEveryOperationFails(std::int32_t handle, const std::string& local, std::int32_t code,
                               const std::string& text, const std::string& console) {
    SCOPED_TRACE("handle " + std::to_string(handle));
    Text name("n"), other("o"), path(local), fetched(local + ".fetched");
    EXPECT_EQ(ftpDeleteFile(handle, name.ref()), 0);
    expectExportedStatus(code, text);
    talven::ftpRecordReply("999 not yet");
    EXPECT_EQ(FTPMAKEDIR(handle, name.ref()), 0);
    expectExportedStatus(code, text);
    talven::ftpRecordReply("999 not yet");
    EXPECT_EQ(FTPREMOVEDIR(handle, name.ref()), 0);
    expectExportedStatus(code, text);
    talven::ftpRecordReply("999 not yet");
    EXPECT_EQ(FTPMOVEORRENAME(handle, name.ref(), other.ref()), 0);
    expectExportedStatus(code, text);
    talven::ftpRecordReply("999 not yet");
    ftpSetAscii(handle);
    expectExportedStatus(code, text);
    talven::ftpRecordReply("999 not yet");
    ftpSetBinary(handle);
    expectExportedStatus(code, text);
    talven::ftpRecordReply("999 not yet");
    EXPECT_EQ(take(ftpCurDir(handle)), "");
    expectExportedStatus(code, text);
    talven::ftpRecordReply("999 not yet");
    EXPECT_EQ(ftpChangeDir(handle, name.ref()), 0);
    expectExportedStatus(code, text);
    talven::ftpRecordReply("999 not yet");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ftpPutFile(handle, 0, name.ref(), path.ref()), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), console);
    expectExportedStatus(code, text);
    talven::ftpRecordReply("999 not yet");
    EXPECT_EQ(ftpGetFile(handle, 1, name.ref(), fetched.ref()), 0);
    expectExportedStatus(code, text);
    EXPECT_EQ(os::pathKind(local + ".fetched"), os::PathKind::missing);
    for (auto listing : {&ftpGetList, &ftpGetFileList, &ftpGetDirList}) {
        talven::ftpRecordReply("999 not yet");
        SAFEARRAY* lines = nullptr;
        EXPECT_EQ(listing(handle, &lines), 0);
        expectExportedStatus(code, text);
        expectElementZeroAlone(lines);
        SafeArrayDestroy(lines);
    }
    talven::ftpRecordReply("999 not yet");
    ftpQuit(handle);
    expectExportedStatus(code, text);
    EXPECT_TRUE(talven::openConnectionNumbers().empty());
}

}  // namespace

TEST_F(BadInput, HandlesThatNameNoSession) {
    const std::string local = scratch.file("local");
    writeFile(local, "abc");
    for (std::int32_t handle : {-1, 0, -32768, INT32_MIN, INT32_MAX, 32767, 32768, 65537, 12345})
        expectEveryOperationFails(handle, local, 94, "Not Connected", "n             ");
}

TEST_F(BadInput, EveryOperationAfterQuitOrOnALostSession) {
    const std::string local = scratch.file("local");
    writeFile(local, "abc");
    for (const bool lost : {false, true}) {
        ScriptedServer server([&](Peer& control) {
            greetAndLogIn(control);
            if (!lost) return serveQuit(control);
            control.readLine();
            control.send("250-Deleted\r\n");  // and the server closes
        });
        const std::int32_t session = connectTo(server);
        ASSERT_GT(session, 0);
        Text name("a");
        if (lost)
            EXPECT_EQ(ftpDeleteFile(session, name.ref()), 0);
        else
            ftpQuit(session);
        expectExportedStatus(lost ? 92 : 221, lost ? "Control Connection Lost" : "Goodbye.");
        expectEveryOperationFails(session, local, lost ? 92 : 94, lost ? "Control Connection Lost" : "Not Connected",
                                  lost ? "" : "n             ");
        EXPECT_EQ(server.transcript(), std::string("USER anonymous\r\nPASS \r\n") + (lost ? "DELE a\r\n" : "QUIT\r\n"));
    }
}

TEST_F(BadInput, DownloadTargetsThatNameNoFileAreRefusedBeforeSending) {
    const std::string existing = scratch.file("existing");
    writeFile(existing, "old");
    const std::string targets[] = {existing + literalBytes("\0.other"), std::string()};
    const std::string sent = onSession([](Peer&) {}, [&](std::int32_t session) {
        Text remote("r");
        for (const std::string& target : targets) {
            Text local(target);
            EXPECT_EQ(ftpGetFile(session, 1, remote.ref(), local.ref()), 0);
            expectExportedStatus(64, "Local File Open Error");
        }
        EXPECT_EQ(ftpGetFile(session, 1, remote.ref(), nullptr), 0);
        expectExportedStatus(64, "Local File Open Error");
    });
    EXPECT_EQ(sent, "QUIT\r\n");
    EXPECT_EQ(readFile(existing), "old");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"existing"});
}

TEST_F(BadInput, AListingWithoutAPlaceForItsLines) {
    const std::string sent = onSession([](Peer&) {}, [&](std::int32_t session) {
        for (auto listing : {&ftpGetList, &ftpGetFileList, &ftpGetDirList}) {
            talven::ftpRecordReply("");
            EXPECT_EQ(listing(session, nullptr), 0);
            expectExportedStatus(11, "No Line List");
        }
    });
    EXPECT_EQ(sent, "QUIT\r\n");
}

// A million short lines take some 32 MiB as read and 40 MiB more as the
// caller's array: the memory runs out while the array is being made.
TEST_F(BadInput, AListingWhoseArrayCannotBeMadeFailsWithAStatus) {
    if (!MemoryLimit::supported()) GTEST_SKIP() << "no memory limit can be set here";
    std::string listing;
    for (int i = 0; i < 1000000; ++i) listing += "-rw 1 f" + std::to_string(1000000 + i) + "\r\n";
    const std::string sent = onSession(
        [&](Peer& control) {
            Peer data = servePasvThenAnswer(control, "200 ok");
            answer(control, "150 listing");
            data.send(listing);
            data.close();
            control.send("226 done\r\n");
        },
        [&](std::int32_t session) {
            SAFEARRAY* lines = nullptr;
            std::int32_t result = -1;
            {
                MemoryLimit limit(std::uint64_t{60} << 20);
                result = ftpGetList(session, &lines);
            }
            EXPECT_EQ(result, 0);
            EXPECT_EQ(lines, nullptr);
            expectExportedStatus(7, "Out Of Memory");
            SafeArrayDestroy(lines);
        });
    EXPECT_EQ(sent, "PASV\r\nTYPE A\r\nLIST\r\nQUIT\r\n");
}

TEST_F(BadInput, ADownloadNeverReplacesADeviceOrPipe) {
    const std::string pipe = scratch.file("pipe");
    if (!makeNamedPipe(pipe)) GTEST_SKIP() << "this platform keeps no such entries in directories";
    const std::string sent = onSession([](Peer&) {}, [&](std::int32_t session) {
        Text remote("r"), local(pipe);
        EXPECT_EQ(ftpGetFile(session, 1, remote.ref(), local.ref()), 0);
        expectExportedStatus(70, "Local File Can't be deleted");
    });
    EXPECT_EQ(sent, "QUIT\r\n");
    EXPECT_EQ(os::pathKind(pipe), os::PathKind::specialFile);
}
