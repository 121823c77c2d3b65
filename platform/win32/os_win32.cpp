// The operating-system layer on Windows: Winsock 2, Win32 files and the
// console, the script host for the popup, OLE around the program.
#include "os.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>  // std::lock_guard only
#include <new>
#include <string>

namespace os {

// ---------------------------------------------------------------- sockets

bool socketLibraryStart() {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (LOBYTE(data.wVersion) < 2 || (LOBYTE(data.wVersion) == 2 && HIBYTE(data.wVersion) < 2)) {
        WSACleanup();
        return false;
    }
    return true;
}

void socketLibraryStop() { WSACleanup(); }

static SOCKADDR_STORAGE withPort(const Address& address, std::uint16_t port) {
    SOCKADDR_STORAGE peer{};
    std::memcpy(&peer, address.bytes.data(), address.size);
    if (peer.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port = htons(port);
    else reinterpret_cast<sockaddr_in*>(&peer)->sin_port = htons(port);
    return peer;
}

namespace {
std::atomic<std::uint32_t> keepAliveIdle{kKeepAliveIdleSeconds};
std::atomic<std::uint32_t> keepAliveInterval{kKeepAliveIntervalSeconds};

// Windows sends 10 probes (from Vista on) before it gives up. Without
// keepalive the connection still works; the option is not worth a failed
// connect.
void keepAlive(SOCKET handle) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = keepAliveIdle.load() * 1000;
    values.keepaliveinterval = keepAliveInterval.load() * 1000;
    DWORD returned = 0;
    WSAIoctl(handle, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
}
}  // namespace

// Not inheritable from the start, so that a program that starts another
// (the script host here, or a host program's CreateProcess on another
// thread) cannot pass the connection on. Systems before Windows 7 SP1 refuse
// the flag; there the mark is taken off right after.
Socket openTcpSocket(const Address& address) {
    const int family = withPort(address, 0).ss_family;
    SOCKET handle =
        WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (handle == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        handle = socket(family, SOCK_STREAM, IPPROTO_TCP);
        if (handle != INVALID_SOCKET)
            SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
    }
    if (handle == INVALID_SOCKET) return kNoSocket;
    keepAlive(handle);
    return static_cast<Socket>(handle);
}

void setKeepAliveForTests(std::uint32_t idleSeconds, std::uint32_t intervalSeconds) {
    keepAliveIdle = idleSeconds;
    keepAliveInterval = intervalSeconds;
}

bool setNoLinger(Socket socket) {
    BOOL on = TRUE;
    return setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

static timeval toTimeval(WaitTime wait) {
    timeval limit{};
    limit.tv_sec = static_cast<long>(std::min<std::uint64_t>(wait.seconds, LONG_MAX));
    limit.tv_usec = static_cast<long>(wait.microseconds);
    return limit;
}

// The socket stays non-blocking: sends take only what fits at once and
// receives only what has arrived (see sendSome and receiveSome); waits are
// the caller's, bounded. A connect that fails shows in the error set.
Readiness connectWithin(Socket socket, const Address& address, std::uint16_t port, WaitTime wait) {
    const SOCKET handle = static_cast<SOCKET>(socket);
    u_long nonBlocking = 1;
    if (ioctlsocket(handle, FIONBIO, &nonBlocking) != 0) return Readiness::failed;
    const SOCKADDR_STORAGE peer = withPort(address, port);
    if (connect(handle, reinterpret_cast<const sockaddr*>(&peer), static_cast<int>(address.size)) == 0)
        return Readiness::ready;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return Readiness::failed;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(handle, &writable);
    FD_SET(handle, &failed);
    timeval limit = toTimeval(wait);
    const int result = select(0, nullptr, &writable, &failed, &limit);
    if (result == 0) return Readiness::timedOut;
    if (result < 0) return Readiness::failed;
    if (FD_ISSET(handle, &failed)) {
        int error = 0;
        int size = sizeof error;
        getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        WSASetLastError(error);
        return Readiness::failed;
    }
    return Readiness::ready;
}

static Readiness waitFor(Socket socket, bool forWriting, WaitTime wait) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(socket), &set);
    timeval limit = toTimeval(wait);
    int result = forWriting ? select(0, nullptr, &set, nullptr, &limit) : select(0, &set, nullptr, nullptr, &limit);
    if (result > 0) return Readiness::ready;
    return result == 0 ? Readiness::timedOut : Readiness::failed;
}

Readiness waitReadable(Socket socket, WaitTime wait) { return waitFor(socket, false, wait); }
Readiness waitWritable(Socket socket, WaitTime wait) { return waitFor(socket, true, wait); }

EitherReady waitEither(Socket socket, bool forWriting, Socket watched, WaitTime wait) {
    const SOCKET own = static_cast<SOCKET>(socket);
    const SOCKET other = static_cast<SOCKET>(watched);
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_SET(own, forWriting ? &writable : &readable);
    FD_SET(other, &readable);
    timeval limit = toTimeval(wait);
    const int result = select(0, &readable, &writable, nullptr, &limit);
    if (result == 0) return EitherReady{Readiness::timedOut, false, false};
    if (result < 0) return EitherReady{Readiness::failed, false, false};
    return EitherReady{Readiness::ready, FD_ISSET(own, forWriting ? &writable : &readable) != 0,
                       FD_ISSET(other, &readable) != 0};
}

std::int64_t sendSome(Socket socket, const char* bytes, std::size_t count) {
    int sent = send(static_cast<SOCKET>(socket), bytes, static_cast<int>(std::min<std::size_t>(count, INT_MAX)), 0);
    if (sent != SOCKET_ERROR) return sent;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

std::int64_t receiveSome(Socket socket, char* buffer, std::size_t capacity) {
    int got = recv(static_cast<SOCKET>(socket), buffer, static_cast<int>(std::min<std::size_t>(capacity, INT_MAX)), 0);
    if (got != SOCKET_ERROR) return got;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kNothingArrived : -1;
}

void closeSocket(Socket socket) { closesocket(static_cast<SOCKET>(socket)); }

void abortSocket(Socket socket) {
    linger resetAtClose{};
    resetAtClose.l_onoff = 1;
    resetAtClose.l_linger = 0;
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&resetAtClose),
               sizeof resetAtClose);
    closeSocket(socket);
}

std::int32_t socketErrorNumber() { return WSAGetLastError() == WSAEINPROGRESS ? 70 : 57; }

// ---------------------------------------------------------------- files

// The ANSI file calls stop at a NUL byte and take * and ? as patterns.
bool usablePath(const std::string& path) {
    return !path.empty() && path.find_first_of(std::string("*?\0", 3)) == std::string::npos;
}

namespace {

// Every file call runs with the critical-error and missing-file dialogs off,
// for the calling thread alone where the system can (Windows 7 on): with one
// mode for the whole process, a thread that restores it would switch the
// dialogs back on under another thread's call, which could then block on a
// dialog. Older systems have only that one mode; there the first thread into
// a file call switches the dialogs off and the last one out restores it.
constexpr UINT kQuietModes = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;

using SetThreadErrorModeCall = BOOL(WINAPI*)(DWORD, LPDWORD);

// Looked up, so that the images still load where the call is missing. Like
// every value this layer keeps, it is made as the image loads, not on first
// use: a local static's guard would bring in a threads run-time (see Lock).
const auto gThreadErrorModeCall = reinterpret_cast<SetThreadErrorModeCall>(
    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadErrorMode")));
SetThreadErrorModeCall threadErrorModeCall() { return gThreadErrorModeCall; }

struct SharedErrorMode {
    Lock lock;
    int holders = 0;
    UINT previous = 0;
};

SharedErrorMode gSharedErrorMode;
SharedErrorMode& sharedErrorMode() { return gSharedErrorMode; }

class QuietErrors {
public:
    QuietErrors() {
        if (SetThreadErrorModeCall call = threadErrorModeCall()) {
            perThread_ = call(kQuietModes, &previous_) != 0;
            if (perThread_) return;
        }
        SharedErrorMode& shared = sharedErrorMode();
        std::lock_guard<Lock> guard(shared.lock);
        if (shared.holders++ == 0) shared.previous = SetErrorMode(kQuietModes);
    }
    ~QuietErrors() {
        if (perThread_) {
            threadErrorModeCall()(previous_, nullptr);
            return;
        }
        SharedErrorMode& shared = sharedErrorMode();
        std::lock_guard<Lock> guard(shared.lock);
        if (--shared.holders == 0) SetErrorMode(shared.previous);
    }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

private:
    bool perThread_ = false;
    DWORD previous_ = 0;
};

std::int32_t fileErrorNumber(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND: return 53;
        case ERROR_PATH_NOT_FOUND: case ERROR_BAD_NETPATH: case ERROR_BAD_NET_NAME: case ERROR_DIRECTORY: return 76;
        case ERROR_TOO_MANY_OPEN_FILES: return 67;
        case ERROR_ACCESS_DENIED: case ERROR_WRITE_PROTECT: case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION:
        case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS: case ERROR_UNABLE_TO_REMOVE_REPLACED: return 70;
        case ERROR_INVALID_DRIVE: return 68;
        case ERROR_NOT_READY: return 71;
        case ERROR_CRC: case ERROR_SEEK: case ERROR_WRITE_FAULT: case ERROR_READ_FAULT: case ERROR_GEN_FAILURE:
        case ERROR_IO_DEVICE: return 72;
        case ERROR_HANDLE_DISK_FULL: case ERROR_DISK_FULL: return 61;
        case ERROR_INVALID_NAME: return 64;
        default: return 75;
    }
}

std::wstring widened(const std::string& text) {
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// The path made whole (folder, drive), as the file calls resolve it.
std::wstring wholePath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::wstring whole(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, whole.data(), nullptr);
    if (length == 0 || length >= size) return path;
    whole.resize(length);
    return whole;
}

// The path as the wide file calls take it. The ANSI calls, and the wide ones
// in their plain form, stop at MAX_PATH characters; a longer whole path (a
// download's temporary name beside a target of 250-259 characters, which
// itself fits) goes in the \\?\ form, good for 32,767 characters, which
// the system takes as it stands: so it is made whole first.
std::wstring systemPath(const std::string& path) {
    const std::wstring wide = widened(path);
    const std::wstring whole = wholePath(wide);
    if (whole.size() < MAX_PATH || whole.rfind(L"\\\\?\\", 0) == 0 || whole.rfind(L"\\\\.\\", 0) == 0)
        return wide;
    if (whole.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + whole.substr(2);
    return L"\\\\?\\" + whole;
}

std::int32_t openFile(const std::string& path, DWORD access, DWORD share, DWORD disposition, FileHandle& handle,
                      DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    if (!usablePath(path)) return 64;
    QuietErrors quiet;
    HANDLE file =
        CreateFileW(systemPath(path).c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fileErrorNumber(GetLastError());
    // Device names (NUL, CON, COM1, also with a suffix or a folder) and pipes
    // open too; they are no files, and reading a pipe may never end.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return 70;
    }
    handle = reinterpret_cast<FileHandle>(file);
    return 0;
}

HANDLE fileHandle(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }

constexpr DWORD kHiddenOrSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// A device name (NUL, CON, COM1, also with a suffix or in a folder: nul.txt,
// sub\CON.txt) names the device wherever it stands, and so does a path
// under \\.\; the full path the system makes of either begins with \\.\.
bool namesDevice(const std::string& path) {
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return length >= 4 && length < MAX_PATH && std::strncmp(full, "\\\\.\\", 4) == 0;
}

}  // namespace

// A device is no file of any kind here; it counts as special.
PathKind pathKind(const std::string& path) {
    if (!usablePath(path)) return PathKind::missing;
    if (namesDevice(path)) return PathKind::specialFile;
    QuietErrors quiet;
    DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::missing;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::directory;
    if (attributes & kHiddenOrSystem) return PathKind::specialFile;
    return PathKind::plainFile;
}

// The attributes are those of a link itself: links are not followed.
bool nameTaken(const std::string& path) {
    if (!usablePath(path)) return false;
    QuietErrors quiet;
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::int32_t openForReading(const std::string& path, FileHandle& handle) {
    return openFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, handle);
}

// A symbolic link under the name counts as the name taken: CREATE_NEW alone
// would follow a link that names nothing and create the file it names.
std::int32_t createExclusive(const std::string& path, FileHandle& handle) {
    return openFile(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, handle,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
}

std::int32_t readFile(FileHandle handle, char* buffer, std::size_t count, std::size_t& got) {
    QuietErrors quiet;
    got = 0;
    while (got < count) {
        DWORD n = 0;
        DWORD ask = static_cast<DWORD>(std::min<std::size_t>(count - got, 1u << 30));
        if (!ReadFile(fileHandle(handle), buffer + got, ask, &n, nullptr)) return fileErrorNumber(GetLastError());
        if (n == 0) break;
        got += n;
    }
    return 0;
}

std::int32_t seekFile(FileHandle handle, std::int64_t offset) {
    QuietErrors quiet;
    LARGE_INTEGER position{};
    position.QuadPart = offset;
    if (!SetFilePointerEx(fileHandle(handle), position, nullptr, FILE_BEGIN)) return fileErrorNumber(GetLastError());
    return 0;
}

std::int32_t writeFile(FileHandle handle, const char* bytes, std::size_t count, std::size_t* written) {
    QuietErrors quiet;
    std::size_t done = 0;
    std::int32_t error = 0;
    while (done < count) {
        DWORD n = 0;
        DWORD ask = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 30));
        if (!WriteFile(fileHandle(handle), bytes + done, ask, &n, nullptr)) {
            error = fileErrorNumber(GetLastError());
            break;
        }
        if (n == 0) {
            error = 61;
            break;
        }
        done += n;
    }
    if (written) *written = done;
    return error;
}

void closeFile(FileHandle handle) { CloseHandle(fileHandle(handle)); }

std::int32_t flushFile(FileHandle handle) {
    QuietErrors quiet;
    return FlushFileBuffers(fileHandle(handle)) ? 0 : fileErrorNumber(GetLastError());
}

std::int32_t fileIdentity(FileHandle handle, FileIdentity& identity) {
    QuietErrors quiet;
    LARGE_INTEGER size{};
    FILETIME written{};
    if (!GetFileSizeEx(fileHandle(handle), &size) || !GetFileTime(fileHandle(handle), nullptr, nullptr, &written))
        return fileErrorNumber(GetLastError());
    identity.size = size.QuadPart;
    identity.stamp = (static_cast<std::int64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    return 0;
}

std::int32_t checkReplaceable(const std::string& path) {
    if (!usablePath(path)) return 64;
    if (namesDevice(path)) return 70;
    QuietErrors quiet;
    DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    if (attributes & FILE_ATTRIBUTE_READONLY) return 70;
    // Opening for delete fails while another program holds the file without
    // letting it be deleted.
    HANDLE file = CreateFileW(systemPath(path).c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fileErrorNumber(GetLastError());
    CloseHandle(file);
    return 0;
}

std::int32_t deleteFile(const std::string& path) {
    if (!usablePath(path)) return 64;
    QuietErrors quiet;
    return DeleteFileW(systemPath(path).c_str()) ? 0 : fileErrorNumber(GetLastError());
}

std::string linkedFile(const std::string& path) { return path; }

// The second byte of a double-byte character may equal a backslash; it ends
// no folder.
std::string folderOf(const std::string& path) {
    std::string::size_type end = 0;
    for (std::string::size_type i = 0; i < path.size(); ++i) {
        if (isLeadByte(path[i])) ++i;
        else if (path[i] == '\\' || path[i] == '/' || path[i] == ':') end = i + 1;
    }
    return path.substr(0, end);
}

// ReplaceFileW keeps the replaced file's attributes, security and creation
// time; a new file has none to keep. A move to a new name waits until it is
// on the disk (MOVEFILE_WRITE_THROUGH); ReplaceFileW has no such flag, and
// Windows has no call that syncs a folder: NTFS logs the change in its
// journal, which it writes on its own. Not every implementation carries the
// attributes over (Wine's does not), so they are set again. Some take the
// folder for a file of their own from the replaced file's name, which a bare
// name lacks: they get whole paths.
std::int32_t replaceFile(const std::string& from, const std::string& to) {
    if (!usablePath(from) || !usablePath(to)) return 64;
    QuietErrors quiet;
    const std::wstring source = systemPath(from);
    const std::wstring target = systemPath(to);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                   ? 0
                   : fileErrorNumber(GetLastError());
    if (!ReplaceFileW(wholePath(target).c_str(), wholePath(source).c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                      nullptr, nullptr))
        return fileErrorNumber(GetLastError());
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                FILE_ATTRIBUTE_TEMPORARY;
    SetFileAttributesW(target.c_str(), attributes & kSettable);
    return 0;
}

// ---------------------------------------------------------------- console

namespace {

HANDLE standardOutput() { return GetStdHandle(STD_OUTPUT_HANDLE); }

bool screenInfo(CONSOLE_SCREEN_BUFFER_INFO& info) {
    return GetConsoleScreenBufferInfo(standardOutput(), &info) != 0;
}

// Where output goes to a file or pipe the console calls fail; the column is
// then counted from what was written (by any thread).
std::atomic<int> gWrittenColumn{0};

}  // namespace

bool consoleIsScreen() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    return screenInfo(info);
}

void consoleWrite(std::string_view text) {
    const char* bytes = text.data();
    std::size_t count = text.size();
    while (count > 0) {
        DWORD n = 0;
        if (!WriteFile(standardOutput(), bytes, static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30)), &n,
                       nullptr) ||
            n == 0)
            break;
        bytes += n;
        count -= n;
    }
    int column = gWrittenColumn;
    for (char c : text) column = (c == '\r' || c == '\n') ? 0 : column + 1;
    gWrittenColumn = column;
}

std::string_view consoleLineEnd() { return "\r\n"; }

int consoleColumn() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    return screenInfo(info) ? info.dwCursorPosition.X : gWrittenColumn.load();
}

// Without a screen nothing can be placed; the column counts from there on.
void consoleMoveToColumn(int column) {
    gWrittenColumn = column - 1;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!screenInfo(info)) return;
    COORD place{static_cast<SHORT>(column - 1), info.dwCursorPosition.Y};
    SetConsoleCursorPosition(standardOutput(), place);
}

// The cursor is placed by a console call, not by bytes: one write per text.
void consoleWriteEachAtColumn(int column, std::string_view texts, const std::vector<std::size_t>& ends) {
    std::size_t start = 0;
    for (std::size_t end : ends) {
        consoleMoveToColumn(column);
        consoleWrite(texts.substr(start, end - start));
        start = end;
    }
}

namespace {
// A window that did not take a caption in time gets none for a while.
constexpr UINT kCaptionWaitMilliseconds = 100;
constexpr DWORD kNoCaptionsAfterNoAnswerMilliseconds = 1000;
std::atomic<std::int32_t> gUnansweringWindow{0};
std::atomic<DWORD> gUnansweringSince{0};
}  // namespace

// Another thread's window gets its caption as a sent message, taken only when
// that thread reads its messages: one that waits for this very transfer (a
// common worker-thread pattern), or hangs, would hold the transfer for ever.
// So a caption waits briefly at most, and after one that was not taken the
// window gets none for a second: the transfer keeps its own pace, bounded by
// the stream's waits alone.
void setWindowCaption(std::int32_t window, const std::string& caption) {
    if (gUnansweringWindow == window && GetTickCount() - gUnansweringSince < kNoCaptionsAfterNoAnswerMilliseconds)
        return;
    DWORD_PTR ignored = 0;
    if (SendMessageTimeoutA(reinterpret_cast<HWND>(static_cast<std::intptr_t>(window)), WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>(caption.c_str()), SMTO_BLOCK | SMTO_ABORTIFHUNG,
                            kCaptionWaitMilliseconds, &ignored))
        return;
    gUnansweringSince = GetTickCount();
    gUnansweringWindow = window;
}

// ---------------------------------------------------------------- process

namespace {
struct ThreadExitRelease {
    void* value;
    void (*release)(void*);
};

void NTAPI releaseAsThreadEnds(void* pending) {
    auto* entry = static_cast<ThreadExitRelease*>(pending);
    entry->release(entry->value);
    delete entry;
}

// Fiber-local storage, whose callback runs as each thread ends. The slot is
// given back (its values released) as this module unloads: a library that a
// program unloads must not leave the system a callback into its freed code.
const struct ThreadExitSlot {
    DWORD index = FlsAlloc(releaseAsThreadEnds);
    ~ThreadExitSlot() {
        if (index != FLS_OUT_OF_INDEXES) FlsFree(index);
    }
} gThreadExitSlot;
}  // namespace

bool releaseAtThreadExit(void* value, void (*release)(void*)) {
    const ThreadExitSlot& slot = gThreadExitSlot;
    if (slot.index == FLS_OUT_OF_INDEXES) return false;
    auto* entry = new (std::nothrow) ThreadExitRelease{value, release};
    if (entry == nullptr) return false;
    delete static_cast<ThreadExitRelease*>(FlsGetValue(slot.index));
    if (FlsSetValue(slot.index, entry)) return true;
    delete entry;
    return false;
}

static_assert(sizeof(SRWLOCK) == sizeof(void*));
void Lock::lock() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }
void Lock::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }

// A slot that cannot be had (TLS_OUT_OF_INDEXES) reads 0 and keeps nothing.
ThreadWord::ThreadWord() : slot_(TlsAlloc()) {}
ThreadWord::~ThreadWord() {
    if (slot_ != TLS_OUT_OF_INDEXES) TlsFree(static_cast<DWORD>(slot_));
}
// TlsGetValue sets the last error; a caller's last error stays as it was.
std::intptr_t ThreadWord::get() const {
    if (slot_ == TLS_OUT_OF_INDEXES) return 0;
    const DWORD lastError = GetLastError();
    const auto value = reinterpret_cast<std::intptr_t>(TlsGetValue(static_cast<DWORD>(slot_)));
    SetLastError(lastError);
    return value;
}
void ThreadWord::set(std::intptr_t value) {
    if (slot_ != TLS_OUT_OF_INDEXES) TlsSetValue(static_cast<DWORD>(slot_), reinterpret_cast<void*>(value));
}

bool isLeadByte(char byte) { return IsDBCSLeadByte(static_cast<BYTE>(byte)) != 0; }

std::string commandLine() { return GetCommandLineA(); }

std::int32_t localMillisecondsOfDay() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return now.wHour * 3600000 + now.wMinute * 60000 + now.wSecond * 1000 + now.wMilliseconds;
}

void pauseMilliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }

namespace {

// A hidden or system file of that name, or a directory, is left in place.
void deleteScript(const std::string& scriptFile) {
    QuietErrors quiet;
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA(scriptFile.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | kHiddenOrSystem)) == 0) DeleteFileA(scriptFile.c_str());
    FindClose(search);
}

// The host reads a script file in the system's ANSI code page, which is not
// this process's where the manifest makes that UTF-8 and may lack the
// message's characters (Windows' host would take UTF-16 after a byte-order
// mark, Wine's takes the ANSI code page alone). So every character outside
// ASCII goes into the file as its JScript escape \uXXXX (a character beyond
// U+FFFF as its two surrogates), read the same in any code page. Such
// characters come only from the message, inside the script's string
// literal, where the escape stands for the character itself.
std::string scriptFileText(const std::string& scriptText) {
    std::string ascii;
    for (wchar_t c : widened(scriptText)) {
        if (c < 0x80) {
            ascii += static_cast<char>(c);
            continue;
        }
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
        ascii += escape;
    }
    return ascii;
}

// The script goes only into a new file: one of that name that is there
// already (the user's own, a hidden one, another run's that is being shown)
// is left as it is and not run. True only when the whole script is in the
// file; one this run created but could not fill is removed again.
bool writeScript(const std::string& scriptFile, const std::string& scriptText) {
    QuietErrors quiet;
    HANDLE file =
        CreateFileA(scriptFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const std::string text = scriptFileText(scriptText);
    const DWORD size = static_cast<DWORD>(text.size());
    DWORD written = 0;
    bool whole = WriteFile(file, text.data(), size, &written, nullptr) && written == size;
    whole = CloseHandle(file) && whole;
    if (!whole) deleteScript(scriptFile);
    return whole;
}

// A program named without a folder is the system's own: CreateProcess would
// look in the current folder first, where a program of that name may have
// been planted (Downloads, a network share). Empty when there is none.
std::string hostProgram(const std::string& command) {
    std::string name;
    if (!command.empty() && command.front() == '"') name = command.substr(1, command.find('"', 1) - 1);
    else name = command.substr(0, command.find(' '));
    if (name.find_first_of("\\/:") != std::string::npos) return name;
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (name.empty() || length == 0 || length >= MAX_PATH) return std::string();
    return std::string(folder, length) + "\\" + name + (name.find('.') == std::string::npos ? ".exe" : "");
}

// True when the host ran and ended with exit code 0. A host that is
// missing, or refuses to run (the Script Host disabled by policy), or fails
// on the script has shown nothing. The host needs none of this process's
// handles and gets none.
bool runAndWait(const std::string& command) {
    const std::string program = hostProgram(command);
    if (program.empty()) return false;
    std::string line = command;  // CreateProcessA may write into its command line
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    bool ended = GetExitCodeProcess(process.hProcess, &exitCode) && exitCode == 0;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return ended;
}

}  // namespace

// Where the script cannot be written, the host is not run on whatever file
// of that name lies there; where the host cannot show the message, the
// system's message box does, after the script is gone.
void showPopup(const std::string& title, const std::string& message, const std::string& scriptFile,
               const std::string& scriptText, const std::string& scriptCommand) {
    bool shown = false;
    if (writeScript(scriptFile, scriptText)) {
        shown = runAndWait(scriptCommand);
        deleteScript(scriptFile);
    }
    // A console program has no window to come up over: the box asks for the front.
    if (!shown)
        MessageBoxW(nullptr, widened(message).c_str(), widened(title).c_str(), MB_OK | MB_SETFOREGROUND);
}

int runProgram(int, char**, int (*entry)()) {
    OleInitialize(nullptr);
    int result = entry();
    OleUninitialize();
    return result;
}

}  // namespace os
