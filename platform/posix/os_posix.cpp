// The operating-system layer on POSIX systems (Linux).
#include "os.h"

#include <algorithm>
#include <atomic>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace os {

// ---------------------------------------------------------------- sockets

bool socketLibraryStart() { return true; }
void socketLibraryStop() {}

static int familyOf(const Address& address) {
    sockaddr_storage peer{};
    std::memcpy(&peer, address.bytes.data(), address.size);
    return peer.ss_family;
}

namespace {
std::atomic<std::uint32_t> keepAliveIdle{kKeepAliveIdleSeconds};
std::atomic<std::uint32_t> keepAliveInterval{kKeepAliveIntervalSeconds};

// Without keepalive the connection still works; the option is not worth a
// failed connect.
void keepAlive(int fd) {
    const int on = 1;
    const int idle = static_cast<int>(keepAliveIdle.load());
    const int interval = static_cast<int>(keepAliveInterval.load());
    const int probes = 6;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}
}  // namespace

Socket openTcpSocket(const Address& address) {
    int fd = socket(familyOf(address), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return kNoSocket;
    keepAlive(fd);
    return fd;
}

void setKeepAliveForTests(std::uint32_t idleSeconds, std::uint32_t intervalSeconds) {
    keepAliveIdle = idleSeconds;
    keepAliveInterval = intervalSeconds;
}

bool setNoLinger(Socket socket) {
    linger off{};
    off.l_onoff = 0;
    return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &off, sizeof off) == 0;
}

static timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

static timespec add(timespec when, WaitTime wait) {
    when.tv_sec += static_cast<time_t>(wait.seconds);
    when.tv_nsec += static_cast<long>(wait.microseconds) * 1000;
    if (when.tv_nsec >= 1000000000L) {
        when.tv_sec += 1;
        when.tv_nsec -= 1000000000L;
    }
    return when;
}

static timespec remainingUntil(timespec deadline) {
    timespec now = monotonicNow();
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_sec -= 1;
        left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0) left = timespec{0, 0};
    return left;
}

// poll() would need a millisecond count that overflows for long waits and
// select() cannot take descriptors above FD_SETSIZE, so ppoll it is.
static Readiness waitFor(Socket socket, short events, WaitTime wait) {
    const timespec deadline = add(monotonicNow(), wait);
    for (;;) {
        pollfd entry{static_cast<int>(socket), events, 0};
        timespec left = remainingUntil(deadline);
        int result = ppoll(&entry, 1, &left, nullptr);
        if (result > 0) return Readiness::ready;
        if (result == 0) return Readiness::timedOut;
        if (errno != EINTR) return Readiness::failed;
    }
}

// Without blocking, so that the stream's wait bounds an address that never
// answers; the socket is blocking again afterwards.
Readiness connectWithin(Socket socket, const Address& address, std::uint16_t port, WaitTime wait) {
    sockaddr_storage peer{};
    std::memcpy(&peer, address.bytes.data(), address.size);
    if (peer.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port = htons(port);
    else reinterpret_cast<sockaddr_in*>(&peer)->sin_port = htons(port);
    const int fd = static_cast<int>(socket);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Readiness::failed;
    Readiness outcome = Readiness::ready;
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), address.size) != 0) {
        outcome = errno == EINPROGRESS || errno == EINTR ? waitFor(socket, POLLOUT, wait) : Readiness::failed;
        int error = 0;
        socklen_t size = sizeof error;
        if (outcome == Readiness::ready &&
            (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0))
            outcome = Readiness::failed;
    }
    if (fcntl(fd, F_SETFL, flags) != 0) outcome = Readiness::failed;
    return outcome;
}

Readiness waitReadable(Socket socket, WaitTime wait) { return waitFor(socket, POLLIN, wait); }
Readiness waitWritable(Socket socket, WaitTime wait) { return waitFor(socket, POLLOUT, wait); }

EitherReady waitEither(Socket socket, bool forWriting, Socket watched, WaitTime wait) {
    const timespec deadline = add(monotonicNow(), wait);
    for (;;) {
        pollfd entries[2] = {{static_cast<int>(socket), static_cast<short>(forWriting ? POLLOUT : POLLIN), 0},
                             {static_cast<int>(watched), POLLIN, 0}};
        timespec left = remainingUntil(deadline);
        const int result = ppoll(entries, 2, &left, nullptr);
        if (result > 0) return EitherReady{Readiness::ready, entries[0].revents != 0, entries[1].revents != 0};
        if (result == 0) return EitherReady{Readiness::timedOut, false, false};
        if (errno != EINTR) return EitherReady{Readiness::failed, false, false};
    }
}

// Takes only what the system can take at once, so that a peer that stops
// reading leaves the caller in its bounded readiness wait, not in send().
std::int64_t sendSome(Socket socket, const char* bytes, std::size_t count) {
    for (;;) {
        ssize_t sent = send(static_cast<int>(socket), bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) return sent;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno != EINTR) return -1;
    }
}

std::int64_t receiveSome(Socket socket, char* buffer, std::size_t capacity) {
    for (;;) {
        ssize_t got = recv(static_cast<int>(socket), buffer, capacity, MSG_DONTWAIT);
        if (got >= 0) return got;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kNothingArrived;
        if (errno != EINTR) return -1;
    }
}

void closeSocket(Socket socket) { close(static_cast<int>(socket)); }

void abortSocket(Socket socket) {
    linger resetAtClose{};
    resetAtClose.l_onoff = 1;
    resetAtClose.l_linger = 0;
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &resetAtClose, sizeof resetAtClose);
    closeSocket(socket);
}

// Blocking sockets here never report a call already in progress.
std::int32_t socketErrorNumber() { return 57; }

// ---------------------------------------------------------------- files

static bool parentDirectoryExists(const std::string& path) {
    std::string::size_type slash = path.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat info{};
    return stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

static std::int32_t fileErrorNumber(int error, const std::string& path) {
    switch (error) {
        case ENOENT: return parentDirectoryExists(path) ? 53 : 76;
        case ENOTDIR: return 76;
        case EACCES: case EPERM: case EROFS: case ETXTBSY: case EBUSY: case EISDIR:
        case EEXIST: case EWOULDBLOCK: return 70;
        case ENOSPC: case EDQUOT: case EFBIG: return 61;
        case EMFILE: case ENFILE: return 67;
        case ENODEV: case ENXIO: return 71;
        case EIO: return 72;
        default: return 75;
    }
}

// A name the system would cut short at its first NUL byte names another file.
bool usablePath(const std::string& path) {
    return !path.empty() && path.find('\0') == std::string::npos;
}

PathKind pathKind(const std::string& path) {
    struct stat info{};
    if (!usablePath(path) || stat(path.c_str(), &info) != 0) return PathKind::missing;
    if (S_ISREG(info.st_mode)) return PathKind::plainFile;
    if (S_ISDIR(info.st_mode)) return PathKind::directory;
    return PathKind::specialFile;
}

bool nameTaken(const std::string& path) {
    struct stat info{};
    return usablePath(path) && lstat(path.c_str(), &info) == 0;
}

// Opening without blocking keeps a FIFO slipped in under the name from
// stalling the open; the descriptor is made blocking again afterwards.
static std::int32_t openPlainFile(const std::string& path, int flags, int lockMode, FileHandle& handle) {
    if (!usablePath(path)) return 64;
    int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, S_IRUSR | S_IWUSR);
    if (fd < 0) return fileErrorNumber(errno, path);
    struct stat info{};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return 70;
    }
    // Advisory only: programs that take such locks keep out while the file is held.
    if (flock(fd, lockMode | LOCK_NB) != 0) {
        close(fd);
        return 70;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    handle = fd;
    return 0;
}

std::int32_t openForReading(const std::string& path, FileHandle& handle) {
    return openPlainFile(path, O_RDONLY, LOCK_SH, handle);
}

std::int32_t createExclusive(const std::string& path, FileHandle& handle) {
    std::int32_t error = openPlainFile(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, LOCK_EX, handle);
    if (error == 53) error = 76;  // creating fails only for a missing directory
    return error;
}

std::int32_t readFile(FileHandle handle, char* buffer, std::size_t count, std::size_t& got) {
    got = 0;
    while (got < count) {
        ssize_t n = read(static_cast<int>(handle), buffer + got, count - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return fileErrorNumber(errno, std::string());
        }
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

std::int32_t seekFile(FileHandle handle, std::int64_t offset) {
    if (lseek(static_cast<int>(handle), static_cast<off_t>(offset), SEEK_SET) < 0) return fileErrorNumber(errno, std::string());
    return 0;
}

std::int32_t writeFile(FileHandle handle, const char* bytes, std::size_t count, std::size_t* written) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = write(static_cast<int>(handle), bytes + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (written) *written = done;
            return fileErrorNumber(errno, std::string());
        }
        done += static_cast<std::size_t>(n);
    }
    if (written) *written = done;
    return 0;
}

void closeFile(FileHandle handle) { close(static_cast<int>(handle)); }

std::int32_t flushFile(FileHandle handle) {
    return fsync(static_cast<int>(handle)) == 0 ? 0 : fileErrorNumber(errno, std::string());
}

std::int32_t fileIdentity(FileHandle handle, FileIdentity& identity) {
    struct stat info{};
    if (fstat(static_cast<int>(handle), &info) != 0) return fileErrorNumber(errno, std::string());
    identity.size = info.st_size;
    identity.stamp = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return 0;
}

// A file without its owner's write permission counts as read-only, even for
// a caller (such as root) whom the system would let through.
std::int32_t checkReplaceable(const std::string& path) {
    if (!usablePath(path)) return 64;
    struct stat info{};
    if (lstat(path.c_str(), &info) != 0) return errno == ENOENT ? 0 : fileErrorNumber(errno, path);
    // Moving a file onto a device, pipe or socket would take it away from
    // everything that uses it (/dev/null for one).
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return 70;
    if (S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0) return 70;
    std::string::size_type slash = path.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(parent.c_str(), W_OK) != 0) return 70;
    if (S_ISREG(info.st_mode)) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            bool heldElsewhere = flock(fd, LOCK_EX | LOCK_NB) != 0;
            close(fd);
            if (heldElsewhere) return 70;
        }
    }
    return 0;
}

std::int32_t deleteFile(const std::string& path) {
    if (!usablePath(path)) return 64;
    return unlink(path.c_str()) == 0 ? 0 : fileErrorNumber(errno, path);
}

std::string linkedFile(const std::string& path) {
    constexpr int kMostLinks = 40;  // as many as the system's own lookup follows
    std::string current = path;
    for (int followed = 0; followed < kMostLinks && usablePath(current); ++followed) {
        struct stat info{};
        if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
        char target[PATH_MAX];
        const ssize_t length = readlink(current.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) == sizeof target) break;
        current = target[0] == '/' ? std::string(target, length) : folderOf(current) + std::string(target, length);
    }
    return current;
}

std::string folderOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The process's file creation mask, read without setting it: umask() can
// only be read by changing it, which would give a file that another thread
// creates meanwhile the wrong permissions. Where the kernel does not tell,
// the usual 022 stands in.
static mode_t creationMask() {
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) return 022;
    unsigned mask = 022;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
    std::fclose(status);
    return static_cast<mode_t>(mask);
}

// What the creation mask lets through of a new file's default permissions.
static mode_t newFileMode() {
    return (S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH) & ~creationMask();
}

// The new file takes over the old one's owner, group and permissions. Its
// set-user-ID and set-group-ID bits stay only with the owner or group they
// belonged to.
static void takeOverIdentity(const std::string& from, const std::string& to) {
    struct stat old{};
    if (stat(to.c_str(), &old) != 0) {
        chmod(from.c_str(), newFileMode());
        return;
    }
    mode_t mode = old.st_mode & 07777;
    if (chown(from.c_str(), old.st_uid, old.st_gid) != 0) {
        mode &= ~S_ISUID;
        if (chown(from.c_str(), static_cast<uid_t>(-1), old.st_gid) != 0) mode &= ~S_ISGID;
    }
    chmod(from.c_str(), mode);
}

// The folder's new entry is put on the disk too, so that a crash after the
// move finds the new file under the name. Where the file system cannot sync
// a folder (some network and FUSE ones refuse), the move stands as it is.
static void syncFolderOf(const std::string& path) {
    const std::string folder = folderOf(path);
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

std::int32_t replaceFile(const std::string& from, const std::string& to) {
    if (!usablePath(from) || !usablePath(to)) return 64;
    takeOverIdentity(from, to);
    if (rename(from.c_str(), to.c_str()) != 0) return fileErrorNumber(errno, to);
    syncFolderOf(to);
    return 0;
}

// ---------------------------------------------------------------- console

namespace {
// Threads that transfer at once share the console: each call holds the lock
// while it uses the state and writes, so rows may interleave but every write
// goes out whole.
struct ConsoleState {
    std::mutex lock;
    const bool screen = isatty(STDOUT_FILENO) == 1;
    int column = 0;
    std::string pendingMove;  // cursor placement sent with the next text
    std::string gathered;     // texts written together, kept for its capacity
};
ConsoleState& console() {
    static ConsoleState state;
    return state;
}

void writeAll(const char* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t n = write(STDOUT_FILENO, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // console failures never stop anything
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
}

// Carriage return, then forward to the column (counted from 1).
std::string cursorToColumn(int column) {
    std::string move(1, '\r');
    if (column > 1) {
        move.append("\x1b[");
        move.append(std::to_string(column - 1));
        move.push_back('C');
    }
    return move;
}

// Column tracking: UTF-8 continuation bytes take no column of their own.
void advanceColumn(int& column, std::string_view text) {
    for (unsigned char c : text) {
        if (c == '\r' || c == '\n') column = 0;
        else if ((c & 0xC0) != 0x80) ++column;
    }
}
}  // namespace

bool consoleIsScreen() { return console().screen; }

void consoleWrite(std::string_view text) {
    ConsoleState& state = console();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.pendingMove.empty()) {
        writeAll(text.data(), text.size());
    } else {
        state.pendingMove.append(text);
        writeAll(state.pendingMove.data(), state.pendingMove.size());
        state.pendingMove.clear();
    }
    advanceColumn(state.column, text);
}

std::string_view consoleLineEnd() { return "\n"; }

int consoleColumn() {
    ConsoleState& state = console();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.column;
}

// Without a screen nothing can be placed; the column counts from there on.
void consoleMoveToColumn(int column) {
    ConsoleState& state = console();
    std::lock_guard<std::mutex> guard(state.lock);
    state.column = column - 1;
    if (!state.screen) return;
    state.pendingMove = cursorToColumn(column);
}

void consoleWriteEachAtColumn(int column, std::string_view texts, const std::vector<std::size_t>& ends) {
    if (ends.empty()) return;
    ConsoleState& state = console();
    std::lock_guard<std::mutex> guard(state.lock);
    const std::string move = state.screen ? cursorToColumn(column) : std::string();
    std::string& out = state.gathered;
    out.clear();
    std::size_t start = 0;
    std::string_view last;
    for (std::size_t end : ends) {
        last = texts.substr(start, end - start);
        out.append(move).append(last);
        start = end;
    }
    state.pendingMove.clear();
    writeAll(out.data(), out.size());
    state.column = column - 1;
    advanceColumn(state.column, last);
}

void setWindowCaption(std::int32_t, const std::string&) {}

// ---------------------------------------------------------------- process

namespace {
struct ThreadExitRelease {
    void* value;
    void (*release)(void*);
};

void releaseAsThreadEnds(void* pending) {
    auto* entry = static_cast<ThreadExitRelease*>(pending);
    entry->release(entry->value);
    delete entry;
}
}  // namespace

// The key is deleted as this library unloads (dlclose): threads that end
// later must not be sent into its freed code.
bool releaseAtThreadExit(void* value, void (*release)(void*)) {
    static const struct Key {
        pthread_key_t key{};
        bool made = pthread_key_create(&key, releaseAsThreadEnds) == 0;
        ~Key() {
            if (made) pthread_key_delete(key);
        }
    } slot;
    if (!slot.made) return false;
    auto* entry = new (std::nothrow) ThreadExitRelease{value, release};
    if (entry == nullptr) return false;
    delete static_cast<ThreadExitRelease*>(pthread_getspecific(slot.key));
    if (pthread_setspecific(slot.key, entry) == 0) return true;
    delete entry;
    return false;
}

namespace {
int gArgc = 0;
char** gArgv = nullptr;

bool needsQuotes(const std::string& argument) {
    return argument.empty() || argument.front() == '"' || argument.find_first_of(" ,;\t") != std::string::npos;
}

// The name is skipped up to its closing quote, or up to its first blank or
// control character when unquoted. A quote inside it would end it early, and
// nothing reads the name, so its quotes are left out.
std::string programNameForLine(std::string name) {
    std::erase(name, '"');
    bool plain = !name.empty() && std::none_of(name.begin(), name.end(),
                                                [](char c) { return static_cast<unsigned char>(c) <= ' '; });
    return plain ? name : '"' + name + '"';
}

// The splitting joins the text after a closing quote to the quoted part as
// it stands, double quotes included, up to the next delimiter. So the part
// before the first double quote goes between quotes and the rest follows.
// Delimiters after a double quote cannot be written in this form: there the
// argument is cut, as an unquoted one would be.
std::string argumentForLine(const std::string& argument) {
    if (!needsQuotes(argument)) return argument;
    std::string::size_type quote = argument.find('"');
    if (quote == std::string::npos) return '"' + argument + '"';
    return '"' + argument.substr(0, quote) + '"' + argument.substr(quote);
}
}  // namespace

// In UTF-8 no byte of a longer character is below 0x80.
// The mutex is made on first use, and lives as long as the process.
void Lock::lock() {
    std::atomic_ref<void*> state(state_);
    void* mutex = state.load(std::memory_order_acquire);
    if (mutex == nullptr) {
        void* made = new std::mutex;
        if (state.compare_exchange_strong(mutex, made, std::memory_order_acq_rel)) mutex = made;
        else delete static_cast<std::mutex*>(made);
    }
    static_cast<std::mutex*>(mutex)->lock();
}
void Lock::unlock() { static_cast<std::mutex*>(std::atomic_ref<void*>(state_).load(std::memory_order_acquire))->unlock(); }

namespace {
constexpr std::uintptr_t kNoKey = ~std::uintptr_t{0};
pthread_key_t key(std::uintptr_t slot) { return static_cast<pthread_key_t>(slot); }
}  // namespace

// A key that cannot be had reads 0 and keeps nothing.
ThreadWord::ThreadWord() : slot_(kNoKey) {
    pthread_key_t made;
    if (pthread_key_create(&made, nullptr) == 0) slot_ = made;
}
ThreadWord::~ThreadWord() {
    if (slot_ != kNoKey) pthread_key_delete(key(slot_));
}
std::intptr_t ThreadWord::get() const {
    return slot_ == kNoKey ? 0 : reinterpret_cast<std::intptr_t>(pthread_getspecific(key(slot_)));
}
void ThreadWord::set(std::intptr_t value) {
    if (slot_ != kNoKey) pthread_setspecific(key(slot_), reinterpret_cast<void*>(value));
}

bool isLeadByte(char) { return false; }

// The line is rebuilt from argv so that splitting it gives the arguments
// back as the shell passed them.
std::string commandLine() {
    std::string line = programNameForLine(gArgc > 0 ? gArgv[0] : "");
    for (int i = 1; i < gArgc; ++i) {
        line += ' ';
        line += argumentForLine(gArgv[i]);
    }
    return line;
}

std::int32_t localMillisecondsOfDay() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    return local.tm_hour * 3600000 + local.tm_min * 60000 + local.tm_sec * 1000 +
           static_cast<std::int32_t>(now.tv_usec / 1000);
}

void pauseMilliseconds(std::uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {
bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string directories = path ? path : "/usr/bin:/bin";
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type end = directories.find(':', start);
        std::string directory = directories.substr(start, end - start);
        std::string candidate = (directory.empty() ? "." : directory) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

// Started directly, without a shell, so nothing in the message is
// interpreted. The tool's exit code, or -1 when it did not start or did not
// end by itself.
int runAndWait(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// True when the user saw the message and dismissed it, by the tool's exit
// code; any other end (no display to open, the tool missing or killed)
// means that nobody may have seen it. zenity and xmessage exit with 1 both
// when their window is closed from its frame and when they cannot open the
// display: 1 counts as not shown, as a message shown twice beats one lost.
bool showDialog(const std::string& title, const std::string& message) {
    if (onPath("zenity"))
        return runAndWait({"zenity", "--info", "--title=" + title, "--no-markup", "--no-wrap",
                           "--text=" + message}) == 0;
    if (onPath("kdialog")) {
        // 0 for OK, 2 when closed; Qt aborts when it has no display.
        const int code = runAndWait({"kdialog", "--title", title, "--msgbox", message});
        return code == 0 || code == 2;
    }
    if (onPath("xmessage"))
        return runAndWait({"xmessage", "-title", title, "-buttons", "OK:0", "-default", "OK", message}) == 0;
    return false;
}

void showOnTerminal(const std::string& title, const std::string& message) {
    bool interactive = isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1;
    std::string text = interactive ? title + ": " + message + "\n[OK] " : message + "\n";
    writeAll(text.data(), text.size());
    if (!interactive) return;
    for (char c = 0; c != '\n';) {
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
}
}  // namespace

namespace {
// An X display that takes the connection but never answers (a stopped
// server, a dead forwarded link) would keep the dialog tool, and so this
// program, waiting before any window shows. It must answer the connection
// set-up within this wait; one that cannot be reached is left to the tool,
// which fails at once.
constexpr WaitTime kDisplayAnswerWait{5, 0};

// DISPLAY is [host]:number[.screen]; an empty host or "unix" is this
// machine's socket, which Xlib tries in the abstract namespace first.
Socket connectDisplay(const std::string& display) {
    const std::string::size_type colon = display.rfind(':');
    if (colon == std::string::npos) return kNoSocket;
    const std::string host = display.substr(0, colon);
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos || number.size() > 4)
        return kNoSocket;
    if (host.empty() || host == "unix") {
        const std::string path = "/tmp/.X11-unix/X" + number;
        for (bool abstract : {true, false}) {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) return kNoSocket;
            sockaddr_un local{};
            local.sun_family = AF_UNIX;
            std::memcpy(local.sun_path + (abstract ? 1 : 0), path.data(), path.size());
            const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));
            if (connect(fd, reinterpret_cast<sockaddr*>(&local), size) == 0) return fd;
            close(fd);
        }
        return kNoSocket;
    }
    for (const Address& address : resolveHost(host)) {
        Socket tcp = openTcpSocket(address);
        if (tcp == kNoSocket) continue;
        const auto port = static_cast<std::uint16_t>(6000 + std::stoi(number));
        if (connectWithin(tcp, address, port, kDisplayAnswerWait) == Readiness::ready) return tcp;
        closeSocket(tcp);
    }
    return kNoSocket;
}

// False only for a display that took the connection and then kept silent.
bool displayAnswers(const std::string& display) {
    const Socket connection = connectDisplay(display);
    if (connection == kNoSocket) return true;
    // Connection set-up, little-endian, protocol 11.0, no authorisation: any
    // reply (success, failure or a demand for authorisation) is an answer.
    const char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const bool answered = sendSome(connection, setup, sizeof setup) == static_cast<std::int64_t>(sizeof setup) &&
                          waitReadable(connection, kDisplayAnswerWait) == Readiness::ready;
    closeSocket(connection);
    return answered;
}
}  // namespace

// There is no script host here: a dialog window when a display is present
// and the dialog could be shown there, else the terminal.
void showPopup(const std::string& title, const std::string& message, const std::string&,
               const std::string&, const std::string&) {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    bool hasX = display && *display;
    bool hasDisplay = (hasX && displayAnswers(display)) || (!hasX && wayland && *wayland);
    if (hasDisplay && showDialog(title, message)) return;
    showOnTerminal(title, message);
}

int runProgram(int argc, char** argv, int (*entry)()) {
    gArgc = argc;
    gArgv = argv;
    // Console output to a closed pipe must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    return entry();
}

}  // namespace os
