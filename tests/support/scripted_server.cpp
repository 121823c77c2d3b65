#include "scripted_server.h"

#include <utility>

namespace testftp {

Peer::~Peer() { close(); }

Peer::Peer(Peer&& other) noexcept
    : socket_(std::exchange(other.socket_, testnet::kNone)),
      ended_(other.ended_),
      brokenOff_(other.brokenOff_),
      unread_(std::move(other.unread_)),
      received_(std::move(other.received_)) {}

Peer& Peer::operator=(Peer&& other) noexcept {
    if (this != &other) {
        close();
        socket_ = std::exchange(other.socket_, testnet::kNone);
        ended_ = other.ended_;
        brokenOff_ = other.brokenOff_;
        unread_ = std::move(other.unread_);
        received_ = std::move(other.received_);
    }
    return *this;
}

bool Peer::send(std::string_view bytes) { return connected() && testnet::sendAll(socket_, bytes); }

void Peer::sendInPieces(std::string_view bytes, std::size_t piece, std::chrono::milliseconds pause) {
    if (connected()) testnet::sendWithoutDelay(socket_);
    while (!bytes.empty()) {
        std::size_t size = std::min(piece, bytes.size());
        if (!send(bytes.substr(0, size))) return;
        bytes.remove_prefix(size);
        std::this_thread::sleep_for(pause);
    }
}

bool Peer::receiveMore(int milliseconds) {
    if (!connected() || ended_ || !testnet::readableWithin(socket_, milliseconds)) return false;
    char buffer[65536];
    long got = testnet::receiveSome(socket_, buffer, sizeof buffer);
    if (got <= 0) {
        ended_ = true;
        brokenOff_ = got < 0;
        return false;
    }
    unread_.append(buffer, static_cast<std::size_t>(got));
    received_.append(buffer, static_cast<std::size_t>(got));
    return true;
}

std::string Peer::readLine(int milliseconds) {
    std::size_t lf;
    while ((lf = unread_.find('\n')) == std::string::npos)
        if (!receiveMore(milliseconds)) return std::string();
    std::string line = unread_.substr(0, lf);
    unread_.erase(0, lf + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string Peer::readAll(int milliseconds) {
    while (receiveMore(milliseconds)) {
    }
    return std::exchange(unread_, std::string());
}

std::string Peer::read(std::size_t count, int milliseconds) {
    while (unread_.size() < count && receiveMore(milliseconds)) {
    }
    std::string bytes = unread_.substr(0, count);
    unread_.erase(0, bytes.size());
    return bytes;
}

bool Peer::waitForClose(int milliseconds) {
    while (receiveMore(milliseconds)) {
    }
    return ended_;
}

void Peer::shutdownSending() {
    if (connected()) testnet::shutdownSending(socket_);
}

void Peer::close() {
    if (connected()) testnet::closeSocket(std::exchange(socket_, testnet::kNone));
}

void Peer::reset() {
    if (!connected()) return;
    testnet::resetOnClose(socket_);
    close();
}

Listener::Listener(const char* address) : socket_(testnet::listenLoopback(port_, address)) {}

Listener::~Listener() {
    if (socket_ != testnet::kNone) testnet::closeSocket(socket_);
}

Peer Listener::accept(int milliseconds) { return Peer(testnet::acceptWithin(socket_, milliseconds)); }

std::string Listener::pasvReply() const {
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port_ / 256) + "," + std::to_string(port_ % 256) +
           ")";
}

std::string Listener::epsvReply() const {
    return "229 Entering Extended Passive Mode (|||" + std::to_string(port_) + "|)";
}

ScriptedServer::ScriptedServer(Script script, std::uint16_t port, const char* address)
    : port_(port), listener_(testnet::listenLoopback(port_, address)) {
    thread_ = std::thread([this, script = std::move(script)] {
        Peer control(listening() ? testnet::acceptWithin(listener_, kPeerWaitMilliseconds) : testnet::kNone);
        connected_ = control.connected();
        if (connected_) script(control);
        // Whatever the client still sends before it closes belongs to the transcript.
        control.shutdownSending();
        control.waitForClose(200);
        transcript_ = control.received();
    });
}

ScriptedServer::~ScriptedServer() {
    finish();
    if (listening()) testnet::closeSocket(listener_);
}

void ScriptedServer::finish() {
    if (thread_.joinable()) thread_.join();
}

const std::string& ScriptedServer::transcript() {
    finish();
    return transcript_;
}

bool ScriptedServer::clientConnected() {
    finish();
    return connected_;
}

bool resetsReachThePeer() {
    static const bool reached = [] {
        std::uint16_t port = 0;
        const testnet::Handle listener = testnet::listenLoopback(port);
        const testnet::Handle client = testnet::connectLoopback(port);
        Peer(testnet::acceptWithin(listener, kPeerWaitMilliseconds)).reset();
        char byte;
        const bool failed =
            testnet::readableWithin(client, kPeerWaitMilliseconds) && testnet::receiveSome(client, &byte, 1) < 0;
        testnet::closeSocket(client);
        testnet::closeSocket(listener);
        return failed;
    }();
    return reached;
}

void greetAndLogIn(Peer& control) {
    control.send("220 Scripted server ready\r\n");
    control.readLine();
    control.send("331 Password required\r\n");
    control.readLine();
    control.send("230 Logged in\r\n");
}

void answer(Peer& control, const std::string& reply) {
    control.readLine();
    control.send(reply + "\r\n");
}

Peer servePasvThenAnswer(Peer& control, const std::string& reply) {
    Listener listener;
    answer(control, listener.pasvReply());
    Peer data = listener.accept();
    answer(control, reply);
    return data;
}

const ReceivedEnding kReceivedEndings[7] = {
    {ReceivedEnding::closes, "250 Transfer ok", ""},
    {ReceivedEnding::closes, "426 Connection closed; transfer aborted.", ""},
    {ReceivedEnding::closes, "451 Local error", ""},
    {ReceivedEnding::stalls, "426 Failure writing network stream.", "024 Data Connection Timed Out"},
    {ReceivedEnding::resets, "426 Connection reset", ""},
    {ReceivedEnding::resets, "226 Transfer complete", "057 Data Connection Error"},
    // pure-ftpd's whole answer when its write failed: no final reply follows.
    {ReceivedEnding::resets, "150 0.001 seconds (measured here), 301.23 Mbytes per second",
     "057 Data Connection Error"},
};

void serveReceivedEnding(Peer& control, const ReceivedEnding& ending, const std::string& goAhead,
                         const std::string& data) {
    Peer connection = servePasvThenAnswer(control, "200 ok");
    answer(control, goAhead);
    connection.send(data);
    if (ending.end == ReceivedEnding::closes) connection.close();
    if (ending.end == ReceivedEnding::stalls) connection.waitForClose(5000);
    if (ending.end == ReceivedEnding::resets) connection.reset();
    control.send(ending.completion + "\r\n");
    answer(control, "257 \"/\" is current");
}

std::string serveStore(Peer& control, const TransferReplies& replies) {
    answer(control, replies.type);
    Peer data = servePasvThenAnswer(control, replies.goAhead);
    std::string bytes = data.readAll();
    control.send(replies.completion + "\r\n");
    return bytes;
}

void serveQuit(Peer& control) {
    if (control.readLine() == "QUIT") control.send("221 Goodbye.\r\n");
}

}  // namespace testftp
