// A scripted FTP server on loopback: a test writes, as a function, exactly
// what the server sends and reads on the control connection, opens passive
// data listeners when it wants them, and afterwards checks every byte the
// client sent.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "test_socket.h"

namespace testftp {

// Waits of the server itself are bounded, so that a client that misbehaves
// ends the script instead of hanging the test.
inline constexpr int kPeerWaitMilliseconds = 10000;

// The server's end of one TCP connection.
class Peer {
public:
    explicit Peer(testnet::Handle socket = testnet::kNone) : socket_(socket) {}
    ~Peer();
    Peer(Peer&& other) noexcept;
    Peer& operator=(Peer&& other) noexcept;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool connected() const { return socket_ != testnet::kNone; }
    bool send(std::string_view bytes);
    // Sends bytes in pieces of the given size, each in a segment of its own,
    // with a pause after each.
    void sendInPieces(std::string_view bytes, std::size_t piece, std::chrono::milliseconds pause);
    // One line without its CR LF; empty when the client closed or nothing came.
    std::string readLine(int milliseconds = kPeerWaitMilliseconds);
    // Everything up to the client's close.
    std::string readAll(int milliseconds = kPeerWaitMilliseconds);
    // count bytes, or fewer when the client closed or nothing more came.
    std::string read(std::size_t count, int milliseconds = kPeerWaitMilliseconds);
    // True when the client closed its side within the wait.
    bool waitForClose(int milliseconds = kPeerWaitMilliseconds);
    void shutdownSending();
    void close();
    // Closes with a reset instead of an orderly end.
    void reset();
    void shrinkBuffers() { testnet::shrinkBuffers(socket_); }
    // Every byte received on this connection so far.
    const std::string& received() const { return received_; }
    // True when the client broke the connection off instead of ending it.
    bool brokenOff() const { return brokenOff_; }

private:
    bool receiveMore(int milliseconds);

    testnet::Handle socket_;
    bool ended_ = false;
    bool brokenOff_ = false;
    std::string unread_;
    std::string received_;
};

// A passive-mode data listener.
class Listener {
public:
    // On the numeric loopback address ("127.0.0.1", "::1").
    explicit Listener(const char* address = "127.0.0.1");
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    std::uint16_t port() const { return port_; }
    Peer accept(int milliseconds = kPeerWaitMilliseconds);
    // "227 Entering Passive Mode (127,0,0,1,p1,p2)" for this listener's port.
    std::string pasvReply() const;
    // "229 Entering Extended Passive Mode (|||port|)".
    std::string epsvReply() const;

private:
    std::uint16_t port_ = 0;
    testnet::Handle socket_;
};

class ScriptedServer {
public:
    using Script = std::function<void(Peer& control)>;

    // Listens at once (on address:port, a numeric loopback address; port 0
    // picks a free one); the script runs on its own thread with the first
    // client connection.
    explicit ScriptedServer(Script script, std::uint16_t port = 0, const char* address = "127.0.0.1");
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t port() const { return port_; }
    // False when the port could not be had.
    bool listening() const { return listener_ != testnet::kNone; }
    // Waits for the script to end, then gives every byte the client sent on
    // the control connection.
    const std::string& transcript();
    // True when a client connected at all.
    bool clientConnected();

private:
    void finish();

    std::uint16_t port_ = 0;
    testnet::Handle listener_;
    std::string transcript_;
    bool connected_ = false;
    std::thread thread_;
};

// True when Peer::reset() reaches the other end as a reset. Wine's
// closesocket ends every connection in order, whatever SO_LINGER says.
bool resetsReachThePeer();

// The usual opening: "220" greeting, USER answered with 331, PASS with 230.
void greetAndLogIn(Peer& control);

// Answers one command line (read first) with reply + CR LF.
void answer(Peer& control, const std::string& reply);

// Answers PASV with a fresh data listener, takes the client's data
// connection, then answers the next command with reply; returns the data
// connection.
Peer servePasvThenAnswer(Peer& control, const std::string& reply);

// How a server ends the data it sends (a download or a listing) and what it
// replies then. The client keeps the data only when the server closed the
// data connection (not a stall past the wait, nor a reset) and confirmed with
// 226 or 250; status is what the client records when it is not the reply.
struct ReceivedEnding {
    enum End { closes, stalls, resets } end;
    std::string completion;
    std::string status;
    // The status the client should record.
    std::string expectedStatus() const { return status.empty() ? completion : status; }
};
extern const ReceivedEnding kReceivedEndings[7];

// Serves a transfer that sends data after TYPE and PASV: the go-ahead, the
// data ended as ending says, its completion reply, then "257" to the next
// command.
void serveReceivedEnding(Peer& control, const ReceivedEnding& ending, const std::string& goAhead,
                         const std::string& data);

// The replies of one transfer, each sent with CR LF (a reply of several
// lines holds its own inner CR LFs).
struct TransferReplies {
    std::string type = "200 Switching to Binary mode.";
    std::string goAhead = "150 Ok to send data.";
    std::string completion = "226 Transfer complete.";
};

// Serves an upload: TYPE, PASV (with a fresh data listener), STOR; takes
// the data until the client closes the data connection, then sends the
// completion reply. Returns the bytes received.
std::string serveStore(Peer& control, const TransferReplies& replies = {});

// Answers QUIT, if the client sends it, with 221.
void serveQuit(Peer& control);

}  // namespace testftp
