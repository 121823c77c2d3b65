#include "terminal.h"

namespace testftp {

// A console cannot be handed to a test the way a pseudo-terminal can.
struct TerminalCapture::State {};

bool TerminalCapture::supported() { return false; }
TerminalCapture::TerminalCapture() : state_(std::make_unique<State>()) {}
TerminalCapture::~TerminalCapture() {}
bool TerminalCapture::waitFor(const std::string&, std::chrono::milliseconds) { return false; }
std::string TerminalCapture::finish() { return std::string(); }

}  // namespace testftp
