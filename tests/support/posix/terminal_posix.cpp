#include "terminal.h"

#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <stdlib.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace testftp {

struct TerminalCapture::State {
    int master = -1;
    int savedOutput = -1;
    std::string bytes;
    std::mutex lock;  // over bytes, while the reader runs
    std::condition_variable grown;
    std::thread reader;
    bool finished = false;
};

bool TerminalCapture::supported() { return true; }

TerminalCapture::TerminalCapture() : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (s.master < 0 || grantpt(s.master) != 0 || unlockpt(s.master) != 0) return;
    const int slave = open(ptsname(s.master), O_RDWR | O_NOCTTY);
    if (slave < 0) return;
    termios mode{};
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
    std::fflush(stdout);
    s.savedOutput = dup(STDOUT_FILENO);
    dup2(slave, STDOUT_FILENO);
    close(slave);
    // Read all along, so that a writer never waits on a full terminal.
    s.reader = std::thread([&s] {
        char buffer[4096];
        for (;;) {
            ssize_t n = read(s.master, buffer, sizeof buffer);
            if (n <= 0) break;  // EIO once the last writer's end is closed
            std::lock_guard<std::mutex> guard(s.lock);
            s.bytes.append(buffer, static_cast<std::size_t>(n));
            s.grown.notify_all();
        }
    });
}

TerminalCapture::~TerminalCapture() { finish(); }

bool TerminalCapture::waitFor(const std::string& text, std::chrono::milliseconds limit) {
    State& s = *state_;
    std::unique_lock<std::mutex> guard(s.lock);
    return s.grown.wait_for(guard, limit, [&] { return s.bytes.find(text) != std::string::npos; });
}

std::string TerminalCapture::finish() {
    State& s = *state_;
    if (!s.finished) {
        s.finished = true;
        std::fflush(stdout);
        if (s.savedOutput >= 0) {
            dup2(s.savedOutput, STDOUT_FILENO);
            close(s.savedOutput);
        }
        if (s.reader.joinable()) s.reader.join();
        if (s.master >= 0) close(s.master);
    }
    return s.bytes;
}

}  // namespace testftp
