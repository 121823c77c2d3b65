// The upload job: sends the file named by the first argument to the server
// fixed at build time, renaming and retrying when the server refuses it, and
// shows the outcome in a popup.
#pragma once

namespace talven::app {

// A server that refuses every name would be asked for ever; the first
// attempt and nine renames are all it gets.
inline constexpr int kMaxAttempts = 10;

// The process's exit code: 0 on every path.
int main();

}  // namespace talven::app
