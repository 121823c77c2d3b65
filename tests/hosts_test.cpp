// Host names that resolve to several addresses, or to another address after
// the login. Run by tests/with-hosts.sh, which gives the test a hosts file of
// its own; without one the cases skip.
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
        if (std::getenv("TALVEN_TEST_HOSTS") == nullptr) GTEST_SKIP() << "no hosts file of the test's own";
    }
    static void writeHosts(const std::string& lines) { std::ofstream(std::getenv("TALVEN_TEST_HOSTS")) << lines; }
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

    // With the resolver's order made by gai: the first address refuses; the
    // next answers and carries the session, its data connections included
    // (PASV over IPv4, EPSV over IPv6). The resolver reads its order once per
    // process, so each case runs in a process of its own.
    void expectTheSecondAddressTaken(const char* gai, int firstFamily, const char* answering,
                                     const std::string& passive) {
        if (std::getenv("TALVEN_TEST_GAI") == nullptr) GTEST_SKIP() << "no gai.conf of the test's own";
        std::ofstream(std::getenv("TALVEN_TEST_GAI")) << gai;
        writeHosts("127.0.0.1 twohomed\n::1 twohomed\n");
        ASSERT_EQ(familyFirstGiven("twohomed"), firstFamily);
        ScriptedServer server(
            [&](Peer& control) {
                greetAndLogIn(control);
                control.readLine();
                Listener listener(answering);
                control.send((passive == "PASV" ? listener.pasvReply() : listener.epsvReply()) + "\r\n");
                Peer data = listener.accept(2000);
                answer(control, "150 go");
                data.readAll();
                control.send("226 done\r\n");
                serveQuit(control);
            },
            0, answering);
        const std::int32_t session = talven::ftpConnectToPort("twohomed", server.port(), "anonymous", "");
        ASSERT_GT(session, 0);
        std::vector<std::string> lines;
        EXPECT_EQ(talven::ftpGetList(session, lines), 0);
        expectLastStatus(226, "done");
        talven::ftpQuit(session);
        EXPECT_EQ(server.transcript(), "USER anonymous\r\nPASS \r\n" + passive + "\r\nTYPE A\r\nLIST\r\nQUIT\r\n");
    }
};

}  // namespace

TEST_F(HostNames, IPv6RefusesAndIPv4Answers) { expectTheSecondAddressTaken("", AF_INET6, "127.0.0.1", "PASV"); }

TEST_F(HostNames, IPv4RefusesAndIPv6Answers) {
    expectTheSecondAddressTaken("precedence ::ffff:0:0/96 100\n", AF_INET, "::1", "EPSV");
}

// After the login the name resolves elsewhere: the data connection still
// goes to the address the control connection is connected to.
TEST_F(HostNames, TheDataConnectionGoesWhereTheControlConnectionWent) {
    writeHosts("127.0.0.1 moving\n");
    Listener listener;
    std::uint16_t port = listener.port();
    const testnet::Handle elsewhere = testnet::listenLoopback(port, "127.0.0.2");
    ASSERT_NE(elsewhere, testnet::kNone);
    bool connected = false;
    ScriptedServer server([&](Peer& control) {
        greetAndLogIn(control);
        answer(control, listener.pasvReply());
        connected = listener.accept(2000).connected();
        serveQuit(control);
    });
    const std::int32_t session = talven::ftpConnectToPort("moving", server.port(), "anonymous", "");
    ASSERT_GT(session, 0);
    writeHosts("127.0.0.2 moving\n");
    const std::int32_t data = talven::ftpOpenDataChannel(session);
    EXPECT_GT(data, 0);
    talven::StreamClose(data);
    talven::ftpQuit(session);
    EXPECT_TRUE(server.clientConnected());
    EXPECT_TRUE(connected);
    EXPECT_FALSE(testnet::readableWithin(elsewhere, 0));
    testnet::closeSocket(elsewhere);
}
