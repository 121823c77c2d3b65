// The thin operating-system layer: sockets, local files, the console, process
// start and the clock. One implementation per platform (posix/, win32/); the
// rest of the system sees only these declarations.
//
// Failures are reported as the system's error numbers (0 = none), never by
// exceptions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace os {

// ---- Sockets (TCP over IPv4 and IPv6) ----

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// A readiness wait: whole seconds plus microseconds below 1,000,000.
struct WaitTime {
    std::uint64_t seconds;
    std::uint32_t microseconds;
};

enum class Readiness { ready, timedOut, failed };

// Takes one start-up of the socket library; false when it cannot be started
// or offers less than version 2.2. Each successful start is paired with one
// socketLibraryStop.
bool socketLibraryStart();
void socketLibraryStop();

// One address of a host, IPv4 or IPv6, as the platform's socket address
// without a port. Only the platform layer looks inside.
struct Address {
    alignas(8) std::array<unsigned char, 32> bytes{};
    std::uint32_t size = 0;
};
// Every address of a host name or numeric address, both families, in the
// order the resolver gives them; empty when it names none.
std::vector<Address> resolveHost(const std::string& host);
// A TCP socket of the address's family, with TCP keepalive: after
// keepAliveIdleSeconds without traffic the system sends a probe, and again
// every keepAliveIntervalSeconds, so that NAT routers and firewalls, which
// drop connections idle for 5 minutes or more, keep an idle control
// connection through a long transfer.
Socket openTcpSocket(const Address& address);
inline constexpr std::uint32_t kKeepAliveIdleSeconds = 60;
inline constexpr std::uint32_t kKeepAliveIntervalSeconds = 10;
// The idle time and the interval of the sockets opened from now on, for
// tests that watch the probes.
void setKeepAliveForTests(std::uint32_t idleSeconds, std::uint32_t intervalSeconds);
// Closing returns at once; the system finishes the orderly shutdown itself.
bool setNoLinger(Socket socket);
// Connects to address at port, waiting at most wait for the outcome.
Readiness connectWithin(Socket socket, const Address& address, std::uint16_t port, WaitTime wait);
// The numeric text of the address the socket is connected to ("127.0.0.1",
// "::1"); empty when it is connected to none.
std::string peerAddressText(Socket socket);
Readiness waitReadable(Socket socket, WaitTime wait);
Readiness waitWritable(Socket socket, WaitTime wait);
// Waits at most wait until socket is ready for what it asks (writing when
// forWriting, else reading) or watched is readable. When ready, the two
// flags say which: one at least, both may be.
struct EitherReady {
    Readiness outcome;
    bool socket;
    bool watched;
};
EitherReady waitEither(Socket socket, bool forWriting, Socket watched, WaitTime wait);
// Bytes taken by the system without blocking (0 when it has no room now),
// or -1. Never raises a signal on a closed peer.
std::int64_t sendSome(Socket socket, const char* bytes, std::size_t count);
// Bytes received without waiting, 0 when the peer has closed its side,
// kNothingArrived when no byte is there yet, or -1.
inline constexpr std::int64_t kNothingArrived = -2;
std::int64_t receiveSome(Socket socket, char* buffer, std::size_t capacity);
void closeSocket(Socket socket);
// Closes with a reset rather than an orderly end, discarding what is still
// unsent, so that the peer sees a broken connection, not the end of the data.
void abortSocket(Socket socket);
// The error number for the socket call that failed last: 70 when another
// blocking call was in progress, 57 otherwise.
std::int32_t socketErrorNumber();

// ---- Local files ----

using FileHandle = std::intptr_t;

enum class PathKind { missing, plainFile, directory, specialFile };

// False for a path that names no file here: an empty one, one the system
// would cut short at a NUL byte, or (on Windows) one holding a pattern.
bool usablePath(const std::string& path);

// A plain file is an existing file that is not a directory and, where the
// platform has such marks, not hidden or system (those count as special).
PathKind pathKind(const std::string& path);

// True when anything exists under the name itself, in any form: a file, a
// directory, a socket, a symbolic link (also one that names nothing). Links
// are not followed.
bool nameTaken(const std::string& path);

// Opens an existing file for reading; other programs may read it but, where
// the platform can enforce it, not write it. Returns an error number.
std::int32_t openForReading(const std::string& path, FileHandle& handle);
// Creates a new file for reading and writing that nobody else may open while
// it is held (nor read, where permissions can say so, until replaceFile gives
// it its final ones); fails when something already exists under the name,
// a link included: it never creates or opens a file through a link.
std::int32_t createExclusive(const std::string& path, FileHandle& handle);
// Reads up to count bytes; got < count only at the end of the file.
std::int32_t readFile(FileHandle handle, char* buffer, std::size_t count, std::size_t& got);
// Moves the read position to offset bytes from the file's start.
std::int32_t seekFile(FileHandle handle, std::int64_t offset);
// written, when given, receives how many bytes went to the file, also when
// the write failed part-way.
std::int32_t writeFile(FileHandle handle, const char* bytes, std::size_t count, std::size_t* written = nullptr);
void closeFile(FileHandle handle);
// Puts what was written on the disk itself. A write the system took but could
// not complete after all (a full disk behind a network file system) fails
// here: the error number, or 0.
std::int32_t flushFile(FileHandle handle);

// Size and last-write stamp; two equal identities taken before and after
// reading mean that no writer changed the file in between.
struct FileIdentity {
    std::int64_t size = -1;
    std::int64_t stamp = 0;
    bool operator==(const FileIdentity&) const = default;
};
std::int32_t fileIdentity(FileHandle handle, FileIdentity& identity);

// 0 when the file at path could be deleted or replaced now (a missing file
// included), else the error number a delete would give; a device or pipe is
// never replaced (70).
std::int32_t checkReplaceable(const std::string& path);
std::int32_t deleteFile(const std::string& path);
// The file that path names once symbolic links are followed, so that
// replacing it keeps the links; path itself where it names no link (or
// where the platform leaves links to replaceFile).
std::string linkedFile(const std::string& path);
// The folder part of path with its last separator, empty for a bare name.
std::string folderOf(const std::string& path);
// Moves from onto to. A file that is there is replaced by one that keeps its
// permissions (on Windows its attributes and security), and its owner and
// group where the process may set them; a new file gets the permissions any
// new file would get. Other hard links to the old file keep the old file.
// The move itself is put on the disk where the platform can (on Linux the
// folder is synced; a file system that cannot sync one leaves it as it is).
std::int32_t replaceFile(const std::string& from, const std::string& to);

// ---- Console ----

// True when the cursor can be placed (a real console or terminal); false when
// standard output goes to a file or pipe.
bool consoleIsScreen();
void consoleWrite(std::string_view text);
// The platform's line end for console output.
std::string_view consoleLineEnd();
// The cursor's column, counted from 0.
int consoleColumn();
// Places the cursor on its current row, column counted from 1. Without a
// screen nothing moves, and consoleColumn counts on from that column.
void consoleMoveToColumn(int column);
// Writes each text from column (counted from 1) of the current row, one after
// another, exactly as consoleMoveToColumn and consoleWrite would for each in
// turn, but in as few writes as the platform allows. The texts lie one after
// another in texts; ends holds where each one ends.
void consoleWriteEachAtColumn(int column, std::string_view texts, const std::vector<std::size_t>& ends);
// Sets the caption of a caller's window; a no-op where there are no windows.
void setWindowCaption(std::int32_t window, const std::string& caption);

// ---- Process ----

// True for the first byte of a two-byte character in the system's code page
// for byte strings, whose second byte may equal a backslash (Shift-JIS, Big5,
// GBK); false where every such byte is a character of its own (UTF-8).
bool isLeadByte(char byte);
// The process's command line as one text, as the platform gives it.
std::string commandLine();
// Milliseconds since local midnight.
std::int32_t localMillisecondsOfDay();
// Blocks the calling thread for about that many milliseconds.
void pauseMilliseconds(std::uint32_t milliseconds);
// Shows message in a popup titled title with one OK button and returns once
// the user has dismissed it. Where the platform has a script host, the popup
// runs through scriptFile holding scriptText, which is written only where no
// file of that name exists (one that does is left alone), by scriptCommand,
// whose program, named without a folder, is the system's own; where that
// script cannot be written or the host cannot show it, the platform's own
// message box does.
void showPopup(const std::string& title, const std::string& message,
               const std::string& scriptFile, const std::string& scriptText,
               const std::string& scriptCommand);
// Calls release(value) when the calling thread ends; one value per thread
// (a later call replaces the earlier). False when that cannot be arranged.
// What a thread keeps of its own lives behind a plain pointer in a
// ThreadWord, freed this way: a thread_local object with a destructor is not
// safe in MinGW-w64's run-time, which may free the thread's storage first.
bool releaseAtThreadExit(void* value, void (*release)(void*));
// A lock for process-wide state. On Windows it is the system's slim lock:
// the language's std::mutex and thread_local would bring a threads run-time
// into the images, whose handles stay behind each time a program unloads
// the library. Usable from the program's start (constant-initialised).
class Lock {
public:
    constexpr Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock();
    void unlock();

private:
    void* state_ = nullptr;
};

// One word for each thread, 0 in every thread at first, for what a thread
// keeps of its own (see Lock for why not thread_local). Made once, at
// namespace scope.
class ThreadWord {
public:
    ThreadWord();
    ~ThreadWord();
    ThreadWord(const ThreadWord&) = delete;
    ThreadWord& operator=(const ThreadWord&) = delete;
    std::intptr_t get() const;
    void set(std::intptr_t value);

private:
    std::uintptr_t slot_;
};

// Runs entry inside the platform's process frame and returns its result.
int runProgram(int argc, char** argv, int (*entry)());

}  // namespace os
