// Shared pieces of the client tests: a fixture with short stream waits that
// checks nothing was left open, scratch directories and file helpers.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>

#include "client.h"
#include "open_list.h"
#include "scripted_server.h"

namespace testftp {

// One second: the shortest wait the stream timeout can give.
inline constexpr std::uint32_t kShortStreamTimeout = 1024;

inline void expectLastStatus(std::int32_t code, const std::string& text) {
    EXPECT_EQ(talven::ftpLastReplyCode(), code);
    EXPECT_EQ(talven::ftpLastReplyText(), text);
}

inline std::int32_t connectTo(ScriptedServer& server, const std::string& user = "anonymous",
                              const std::string& password = "") {
    return talven::ftpConnectToPort("127.0.0.1", server.port(), user, password);
}

// A directory of its own for each test, removed afterwards.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() / ("talven-test-" + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every byte of a string literal, NUL bytes included.
template <std::size_t N>
std::string literalBytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

// Bytes that show a shifted or repeated chunk: no two chunks are alike.
inline std::string patternedBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 12345;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Runs each test with one-second stream waits and checks that it left no
// stream or file open.
class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { talven::setFtpStreamTimeoutForTests(kShortStreamTimeout); }
    void TearDown() override {
        talven::setFtpStreamTimeoutForTests(talven::kStreamTimeout);
        EXPECT_TRUE(talven::openConnectionNumbers().empty()) << "a stream or file was left open";
    }
    ScratchDirectory scratch;
};

// What the client wrote on the console while action ran.
template <typename Action>
std::string consoleOutputOf(Action action) {
    ::testing::internal::CaptureStdout();
    action();
    return ::testing::internal::GetCapturedStdout();
}

// A ClientTest that runs one action on a logged-in session of a scripted
// server and keeps the last status the action left.
class SessionTest : public ClientTest {
protected:
    // Logs in on a server that then follows script (and answers QUIT), runs
    // action on the session and quits. Gives the control bytes sent after
    // the login.
    std::string onSession(const ScriptedServer::Script& script, const std::function<void(std::int32_t)>& action) {
        ScriptedServer server(
            [&](Peer& control) {
                greetAndLogIn(control);
                script(control);
                serveQuit(control);
            },
            0, serverAddress);
        const std::int32_t session = talven::ftpConnectToPort(serverAddress, server.port(), "anonymous", "");
        EXPECT_GT(session, 0);
        action(session);
        code = talven::ftpLastReplyCode();
        text = talven::ftpLastReplyText();
        talven::ftpQuit(session);
        const std::string& sent = server.transcript();
        const std::string login = "USER anonymous\r\nPASS \r\n";
        return sent.size() >= login.size() ? sent.substr(login.size()) : sent;
    }

    // The last status that the action left.
    void expectStatus(std::int32_t expectedCode, const std::string& expectedText) const {
        EXPECT_EQ(code, expectedCode);
        EXPECT_EQ(text, expectedText);
    }

    // Where the scripted server listens and the session connects.
    const char* serverAddress = "127.0.0.1";
    std::int32_t code = 0;
    std::string text;
};

}  // namespace testftp
