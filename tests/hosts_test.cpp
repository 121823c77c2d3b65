// Host names that resolve to several addresses, or to another address after
// the login. Run by tests/with-hosts.sh, which gives the test a hosts file
// (and a gai.conf, the resolver's order) of its own; without them the cases
// skip. The resolver reads its order once per process, so each case runs in
// a process of its own.
#include <gtest/gtest.h>

#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>
#include <fstream>

#include "client_fixture.h"
#include "stream.h"

using namespace testftp;

namespace {

class HostNames : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        if (std::getenv("TALVEN_TEST_HOSTS") == nullptr || std::getenv("TALVEN_TEST_GAI") == nullptr)
            GTEST_SKIP() << "no hosts file and gai.conf of the test's own";
    }
    static void write(const char* variable, const std::string& lines) { std::ofstream(std::getenv(variable)) << lines; }
    // The family of the first address the resolver gives for name.
    static int familyFirstGiven(const char* name) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &found) != 0) return -1;
        const int family = found->ai_family;
        freeaddrinfo(found);
        return family;
    }

    // Opens a session to name, then a data channel after the hosts file has
    // become hostsAfterLogin; the server listens at answering, and so does
    // the data listener. Gives whether the data connection came there and
    // the commands sent.
    std::pair<bool, std::string> openDataChannel(const char* name, const char* answering,
                                                  const std::string& hostsAfterLogin = "") {
        Listener listener(answering);
        bool connected = false;
        ScriptedServer server(
            [&](Peer& control) {
                greetAndLogIn(control);
                const bool extended = std::string(answering).find(':') != std::string::npos;
                answer(control, extended ? listener.epsvReply() : listener.pasvReply());
                connected = listener.accept(2000).connected();
                serveQuit(control);
            },
            0, answering);
        const std::int32_t session = talven::ftpConnectToPort(name, server.port(), "anonymous", "");
        EXPECT_GT(session, 0);
        if (!hostsAfterLogin.empty()) write("TALVEN_TEST_HOSTS", hostsAfterLogin);
        const std::int32_t data = talven::ftpOpenDataChannel(session);
        EXPECT_GT(data, 0);
        talven::StreamClose(data);
        talven::ftpQuit(session);
        return {connected, server.transcript()};
    }
};

}  // namespace

// The first address refuses; the next answers and carries the session, its
// data connection included.
TEST_F(HostNames, IPv6RefusesAndIPv4Answers) {
    write("TALVEN_TEST_HOSTS", "127.0.0.1 twohomed\n::1 twohomed\n");
    ASSERT_EQ(familyFirstGiven("twohomed"), AF_INET6);
    EXPECT_EQ(openDataChannel("twohomed", "127.0.0.1"),
              std::make_pair(true, std::string("USER anonymous\r\nPASS \r\nPASV\r\nQUIT\r\n")));
}

TEST_F(HostNames, IPv4RefusesAndIPv6Answers) {
    write("TALVEN_TEST_GAI", "precedence ::ffff:0:0/96 100\n");
    write("TALVEN_TEST_HOSTS", "127.0.0.1 twohomed\n::1 twohomed\n");
    ASSERT_EQ(familyFirstGiven("twohomed"), AF_INET);
    EXPECT_EQ(openDataChannel("twohomed", "::1"),
              std::make_pair(true, std::string("USER anonymous\r\nPASS \r\nEPSV\r\nQUIT\r\n")));
}

// After the login the name resolves elsewhere: the data connection still
// goes where the control connection went.
TEST_F(HostNames, TheDataConnectionGoesWhereTheControlConnectionWent) {
    write("TALVEN_TEST_HOSTS", "127.0.0.1 moving\n");
    EXPECT_TRUE(openDataChannel("moving", "127.0.0.1", "127.0.0.2 moving\n").first);
}
