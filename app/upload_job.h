// The upload job: sends each file named on the command line, one after
// another on one session, to the server fixed at build time, renaming and
// retrying when the server refuses one, and shows the outcome in a popup.
#pragma once

#include <cstdint>

namespace talven::app {

// A server that refuses every name would be asked for ever; the first
// attempt and nine renames are all it gets.
inline constexpr int kMaxAttempts = 10;

// A connection lost after the server had accepted the upload is followed by
// up to this many new sessions, each resuming the same remote name; the
// pauses before them grow from 2 s to 30 s.
inline constexpr int kMaxReconnects = 5;
// Shortens the pauses between reconnects, for tests.
void setReconnectPausesForTests(std::uint32_t firstMilliseconds, std::uint32_t longestMilliseconds);

// The process's exit code: 0 on every path.
int main();

}  // namespace talven::app
