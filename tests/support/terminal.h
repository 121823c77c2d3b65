// Sends this process's standard output to a pseudo-terminal in raw mode
// (no line-end translation) for as long as it is held, and collects every
// byte written there, cursor sequences included.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace testftp {

class TerminalCapture {
public:
    // False where the platform offers no pseudo-terminal to the tests.
    static bool supported();
    TerminalCapture();
    ~TerminalCapture();
    TerminalCapture(const TerminalCapture&) = delete;
    TerminalCapture& operator=(const TerminalCapture&) = delete;

    // True once text has been written to the terminal, waiting up to limit.
    bool waitFor(const std::string& text, std::chrono::milliseconds limit);
    // Gives standard output back and returns what was written to it.
    std::string finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace testftp
