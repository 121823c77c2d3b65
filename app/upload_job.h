// The upload job: sends each file named on the command line, one after
// another on one session, to the server fixed at build time, renaming and
// retrying when the server refuses one, and shows the outcome in a popup.
#pragma once

namespace talven::app {

// A server that refuses every name would be asked for ever; the first
// attempt and nine renames are all it gets.
inline constexpr int kMaxAttempts = 10;

// The process's exit code: 0 on every path.
int main();

}  // namespace talven::app
