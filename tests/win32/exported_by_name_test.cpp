// The exported operations as a Windows caller finds them: by name with
// GetProcAddress, from talvenftp.dll, from a program that links the client
// (this one, through GetModuleHandle(NULL)) and from talven.exe, and called
// through the pointers found.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "exported_names.h"
#include "talvenftp.h"
#include "test_socket.h"

namespace {

std::vector<std::string> namesMissingFrom(HMODULE module) {
    std::vector<std::string> missing;
    for (const char* name : kExportedNames)
        if (GetProcAddress(module, name) == nullptr) missing.push_back(name);
    return missing;
}

// GetProcAddress gives a generic function pointer; a caller casts it to the
// function's real type, as a Declare statement does.
template <typename Function>
Function lookUp(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

using ConnectFunction = decltype(&::ftpConnect);
using StatusCodeFunction = decltype(&::FTPGETLASTSTATUSCODE);
using StatusTextFunction = decltype(&::FTPGETLASTSTATUSMSG);

std::string bytesOf(BSTR text) {
    return std::string(reinterpret_cast<const char*>(text), SysStringByteLen(text));
}

// The status text through the pointer, freed as the interface asks.
std::string statusText(StatusTextFunction function) {
    BSTR text = function();
    std::string bytes = bytesOf(text);
    SysFreeString(text);
    return bytes;
}

// Beside this program, where a Windows program keeps the DLLs it loads.
std::string besideThisProgram(const std::string& file) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory(path, length);
    return directory.substr(0, directory.find_last_of("\\/") + 1) + file;
}

// True when nothing listens on 127.0.0.1:21 now: the port could be bound.
bool port21IsClosed() {
    std::uint16_t port = 21;
    testnet::Handle listener = testnet::listenLoopback(port);
    if (listener == testnet::kNone) return false;
    testnet::closeSocket(listener);
    return true;
}

class Library {
public:
    explicit Library(const char* name) : module_(LoadLibraryA(name)) {}
    ~Library() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    HMODULE module() const { return module_; }

private:
    HMODULE module_;
};

}  // namespace

TEST(ExportedNames, ReadFromTheHeader) {
    EXPECT_GE(std::size(kExportedNames), 17u);
    EXPECT_STREQ(kExportedNames[0], "ftpConnect");
}

TEST(ExportsByName, TheLibraryExportsEveryName) {
    Library library("talvenftp.dll");
    ASSERT_NE(library.module(), nullptr) << "LoadLibrary failed with " << GetLastError();
    EXPECT_EQ(namesMissingFrom(library.module()), std::vector<std::string>());
}

TEST(ExportsByName, TheLibraryAnswersThroughItsPointers) {
    Library library("talvenftp.dll");
    ASSERT_NE(library.module(), nullptr);
    auto statusCode = lookUp<StatusCodeFunction>(library.module(), "FTPGETLASTSTATUSCODE");
    auto statusMessage = lookUp<StatusTextFunction>(library.module(), "FTPGETLASTSTATUSMSG");
    auto connect = lookUp<ConnectFunction>(library.module(), "ftpConnect");
    ASSERT_TRUE(statusCode && statusMessage && connect);

    // The library keeps a last status of its own, untouched so far.
    EXPECT_EQ(statusCode(), 0);
    EXPECT_EQ(statusText(statusMessage), "");

    if (!port21IsClosed()) GTEST_SKIP() << "something holds port 21 on 127.0.0.1 (run as root in a namespace)";
    BSTR host = SysAllocStringByteLen("127.0.0.1", 9);
    BSTR user = SysAllocStringByteLen("anonymous", 9);
    BSTR password = SysAllocStringByteLen("", 0);
    EXPECT_EQ(connect(&host, &user, &password), -1);
    EXPECT_EQ(bytesOf(host), "127.0.0.1");
    EXPECT_EQ(statusCode(), 57);
    EXPECT_EQ(statusText(statusMessage), "Unable to open socket");
    SysFreeString(host);
    SysFreeString(user);
    SysFreeString(password);
}

// The TLS session, called by name, fails as ftpConnect does where no server
// listens (its TLS cases are in tls_test).
TEST(ExportsByName, ConnectTlsFailsLikeConnectWithoutAServer) {
    Library library("talvenftp.dll");
    ASSERT_NE(library.module(), nullptr);
    auto statusCode = lookUp<StatusCodeFunction>(library.module(), "FTPGETLASTSTATUSCODE");
    auto statusMessage = lookUp<StatusTextFunction>(library.module(), "FTPGETLASTSTATUSMSG");
    auto connectTls = lookUp<decltype(&::ftpConnectTLS)>(library.module(), "ftpConnectTLS");
    ASSERT_TRUE(statusCode && statusMessage && connectTls);
    if (!port21IsClosed()) GTEST_SKIP() << "something holds port 21 on 127.0.0.1 (run as root in a namespace)";
    BSTR host = SysAllocStringByteLen("127.0.0.1", 9);
    BSTR empty = SysAllocStringByteLen("", 0);
    EXPECT_EQ(connectTls(&host, &empty, &empty, &empty), -1);
    EXPECT_EQ(statusCode(), 57);
    EXPECT_EQ(statusText(statusMessage), "Unable to open socket");
    SysFreeString(host);
    SysFreeString(empty);
}

TEST(ExportsByName, AProgramThatLinksTheClientExportsEveryName) {
    HMODULE self = GetModuleHandleA(nullptr);
    EXPECT_EQ(namesMissingFrom(self), std::vector<std::string>());
    EXPECT_EQ(lookUp<ConnectFunction>(self, "ftpConnect"), &::ftpConnect);
    auto statusCode = lookUp<StatusCodeFunction>(self, "FTPGETLASTSTATUSCODE");
    ASSERT_NE(statusCode, nullptr);
    EXPECT_EQ(statusCode(), ::FTPGETLASTSTATUSCODE());
}

// Only looked up: the program's own start-up has not run in this process.
TEST(ExportsByName, TheProgramExportsEveryName) {
    Library program(besideThisProgram("talven.exe").c_str());
    ASSERT_NE(program.module(), nullptr) << "LoadLibrary failed with " << GetLastError();
    EXPECT_EQ(namesMissingFrom(program.module()), std::vector<std::string>());
}

namespace {

// The handles the process holds, found by trying each handle value: Wine's
// GetProcessHandleCount answers 0.
DWORD handleCount() {
    DWORD count = 0;
    DWORD flags = 0;
    for (std::uintptr_t value = 4; value < (1u << 16); value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    return count;
}

// Loads the library, calls an export (setting a status, which a thread keeps
// of its own) and unloads it; with a caller thread, that thread calls the
// export and ends only after the unload.
void loadCallAndUnload(bool callerOutlivesTheUnload) {
    HMODULE library = LoadLibraryA(besideThisProgram("talvenftp.dll").c_str());
    ASSERT_NE(library, nullptr);
    auto connect = lookUp<ConnectFunction>(library, "ftpConnect");
    auto call = [connect] {
        // An argument with a line break is refused before any connection.
        BSTR host = SysAllocStringByteLen("127.0.0.1", 9);
        BSTR user = SysAllocStringByteLen("a\r\nb", 4);
        BSTR password = SysAllocStringByteLen("", 0);
        connect(&host, &user, &password);
        SysFreeString(host);
        SysFreeString(user);
        SysFreeString(password);
    };
    if (!callerOutlivesTheUnload) {
        call();
        FreeLibrary(library);
        return;
    }
    HANDLE called = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE unloaded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread caller([&] {
        call();
        SetEvent(called);
        WaitForSingleObject(unloaded, INFINITE);
    });
    WaitForSingleObject(called, INFINITE);
    FreeLibrary(library);
    SetEvent(unloaded);
    caller.join();
    CloseHandle(called);
    CloseHandle(unloaded);
}

}  // namespace

// A program may load and unload the library again and again: nothing of it
// stays behind, also where a thread that called it ends after the unload.
TEST(ExportsByName, UnloadingTheLibraryLeavesNoHandleBehind) {
    for (bool callerOutlivesTheUnload : {false, true}) {
        loadCallAndUnload(callerOutlivesTheUnload);
        const DWORD before = handleCount();
        for (int cycle = 0; cycle < 100; ++cycle) loadCallAndUnload(callerOutlivesTheUnload);
        // A few handles may come and go with the system's own DLLs; a leak
        // of even one handle a cycle shows as 100.
        EXPECT_LT(handleCount(), before + 20) << "before " << before << ", a thread outliving the unload "
                                              << callerOutlivesTheUnload;
    }
}
