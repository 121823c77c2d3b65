// The 32-bit build's exported operations called the way a Visual Basic
// Declare statement calls them: found by name in talvenftp.dll and in
// talven.exe, the arguments pushed from the last to the first, the callee
// removing them from the stack. After every call the stack pointer and the
// registers a callee must keep (EBX, ESI, EDI, EBP) must be as they were,
// and the result and the last status must be right, against a scripted
// server on 127.0.0.1:21 that checks every command the calls send.
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "exported_names.h"
#include "talvenftp.h"
#include "scripted_server.h"

using namespace testftp;

namespace {

constexpr const char* kRegisterNames[] = {"EBX", "ESI", "EDI", "EBP"};

// One call, as declareCall below reads and writes it.
struct CallFrame {
    const void* function;
    const std::uint32_t* arguments;
    std::uint32_t count;
    std::uint32_t given[4];  // EBX, ESI, EDI, EBP on entry to the callee
    std::uint32_t after[4];  // the same registers after its return
    std::uint32_t result;    // EAX
    std::int32_t stackChange;  // ESP after the return minus ESP before the pushes
    std::uint32_t returnsReal;  // the callee returns a Double, in ST(0)
    double real;                // that Double
};
static_assert(offsetof(CallFrame, given) == 12 && offsetof(CallFrame, after) == 28 &&
              offsetof(CallFrame, result) == 44 && offsetof(CallFrame, stackChange) == 48 &&
              offsetof(CallFrame, returnsReal) == 52 && offsetof(CallFrame, real) == 56);

}  // namespace

extern "C" void declareCall(CallFrame* frame) __asm__("talven_declare_call");
// A control that removes its one argument but loses every register it
// should keep, and returns the argument.
extern "C" std::uint32_t losesRegisters(std::uint32_t) __asm__("talven_loses_registers");

extern "C" void __stdcall scramblingTrace(std::int32_t, std::int32_t, const char*, std::int32_t) __asm__(
    "talven_scrambling_trace");
extern "C" std::int32_t __stdcall scramblingProgress(std::int32_t, double, double) __asm__(
    "talven_scrambling_progress");

// What the callbacks were called with: the trace as "> line" and "< line"
// rows, and the progress of each call.
std::string gTraced;
std::vector<std::pair<double, double>> gProgress;

extern "C" __attribute__((used)) void __stdcall traceRecorder(std::int32_t, std::int32_t direction, const char* bytes,
                                                              std::int32_t length) __asm__("talven_trace_recorder");
extern "C" void __stdcall traceRecorder(std::int32_t, std::int32_t direction, const char* bytes, std::int32_t length) {
    if (direction == FTP_TRACE_NOTE) return;
    gTraced += direction == FTP_TRACE_SENT ? "> " : "< ";
    gTraced.append(bytes, static_cast<std::size_t>(length)).append("\n");
}

extern "C" __attribute__((used)) std::int32_t __stdcall progressRecorder(std::int32_t, double done,
                                                                         double total) __asm__("talven_progress_recorder");
extern "C" std::int32_t __stdcall progressRecorder(std::int32_t, double done, double total) {
    gProgress.emplace_back(done, total);
    return 0;
}

// The frame's address and the stack pointer are kept in memory: while the
// callee runs, every register a caller could keep them in is under test.
asm(R"(
        .data
talven_declare_frame: .long 0
talven_declare_esp:   .long 0
        .text
        .p2align 4
talven_declare_call:
        pushl %ebp
        pushl %ebx
        pushl %esi
        pushl %edi
        movl 20(%esp), %eax
        movl %eax, talven_declare_frame
        movl %esp, talven_declare_esp
        movl 4(%eax), %edx
        movl 8(%eax), %ecx
1:      testl %ecx, %ecx
        jz 2f
        pushl -4(%edx,%ecx,4)
        decl %ecx
        jmp 1b
2:      movl 12(%eax), %ebx
        movl 16(%eax), %esi
        movl 20(%eax), %edi
        movl 24(%eax), %ebp
        call *(%eax)
        movl talven_declare_frame, %ecx
        movl %ebx, 28(%ecx)
        movl %esi, 32(%ecx)
        movl %edi, 36(%ecx)
        movl %ebp, 40(%ecx)
        movl %eax, 44(%ecx)
        cmpl $0, 52(%ecx)
        je 3f
        fstpl 56(%ecx)
3:      movl %esp, %eax
        subl talven_declare_esp, %eax
        movl %eax, 48(%ecx)
        movl talven_declare_esp, %esp
        popl %edi
        popl %esi
        popl %ebx
        popl %ebp
        ret
        .p2align 4
# Callbacks as a Visual Basic AddressOf function is called: __stdcall, the
# callee removing its arguments, and free to change EAX (where it returns
# nothing), ECX and EDX. Each hands a copy of its arguments to the recorder
# written below, then spoils those registers.
talven_scrambling_trace:
        pushl 16(%esp)
        pushl 16(%esp)
        pushl 16(%esp)
        pushl 16(%esp)
        call talven_trace_recorder
        movl $0xDEADBEEF, %eax
        movl $0xDEADBEEF, %ecx
        movl $0xDEADBEEF, %edx
        ret $16
        .p2align 4
talven_scrambling_progress:
        pushl 20(%esp)
        pushl 20(%esp)
        pushl 20(%esp)
        pushl 20(%esp)
        pushl 20(%esp)
        call talven_progress_recorder
        movl $0xDEADBEEF, %ecx
        movl $0xDEADBEEF, %edx
        ret $20
        .p2align 4
talven_loses_registers:
        xorl %ebx, %ebx
        xorl %esi, %esi
        xorl %edi, %edi
        xorl %ebp, %ebp
        movl 4(%esp), %eax
        ret $4
)");

namespace {

// A control that leaves its arguments on the stack, as every cdecl function does.
extern "C" __attribute__((cdecl, noinline)) std::int32_t subtractLeavingArguments(std::int32_t a, std::int32_t b) {
    return a - b;
}

struct Outcome {
    std::uint32_t result;
    std::string fault;  // empty when the stack and the kept registers are as they were
    double real = 0;    // the Double result, when one was asked for
};

Outcome callAsDeclared(const void* function, const std::vector<std::uint32_t>& arguments, bool returnsReal = false) {
    CallFrame frame{function, arguments.data(), static_cast<std::uint32_t>(arguments.size()),
                    {0x0B0B0B0Bu, 0x51515151u, 0xD1D1D1D1u, 0xBEBEBEBEu}, {}, 0, 0, returnsReal ? 1u : 0u, 0};
    declareCall(&frame);
    std::string changed;
    for (int i = 0; i < 4; ++i)
        if (frame.after[i] != frame.given[i]) changed += std::string(changed.empty() ? "" : " ") + kRegisterNames[i];
    std::string fault = frame.stackChange == 0 ? "" : "ESP off by " + std::to_string(frame.stackChange);
    if (!changed.empty()) fault += (fault.empty() ? "" : "; ") + changed + " changed";
    return {frame.result, fault, frame.real};
}

std::uint32_t word(const void* pointer) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer)); }

std::string bytesOf(BSTR text) { return std::string(reinterpret_cast<const char*>(text), SysStringByteLen(text)); }

BSTR newString(const std::string& bytes) {
    return SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A result as the table expects it: none (a Sub), a number, a string the
// caller frees, or a Double.
using Result = std::variant<std::monostate, std::int32_t, std::string, double>;

struct DeclaredCall {
    const char* name;
    std::vector<std::uint32_t> arguments;
    Result result;
    std::string status;  // the last status afterwards, code and text
};

const std::string kListing =
    "drwxr-xr-x 2 0 0 4096 Dec 08 10:00 sub\r\n-rw-r--r-- 1 0 0 5 Dec 08 10:00 up.bin\r\n";

// The server's side of the table below, after the login.
void serveTheTable(Peer& control, const std::string& download, std::string& stored) {
    answer(control, "200 Binary");
    answer(control, "200 ASCII");
    answer(control, "257 \"/sub\" created");
    answer(control, "250 Changed");
    answer(control, "257 \"/sub\" is current");
    stored = serveStore(control);
    answer(control, "200 Binary");
    answer(control, "213 20000");
    answer(control, "200 Binary");
    answer(control, "213 20000");
    Peer resumed = servePasvThenAnswer(control, "350 Restarting at 20000");
    answer(control, "150 Go on");
    stored += resumed.readAll();
    control.send("226 Nothing more\r\n");
    auto sendOver = [&](const std::string& type, const std::string& bytes, const std::string& completion) {
        Peer data = servePasvThenAnswer(control, type);
        answer(control, "150 Here it comes");
        data.send(bytes);
        data.close();
        control.send(completion + "\r\n");
    };
    sendOver("200 Binary", download, "226 Sent");
    for (int i = 0; i < 3; ++i) sendOver("200 ASCII", kListing, "226 Listed");
    answer(control, "350 Ready");
    answer(control, "250 Renamed");
    answer(control, "250 Deleted");
    answer(control, "550 Not empty");
}

const std::string kTableTranscript =
    "USER anonymous\r\nPASS \r\nTYPE I\r\nTYPE A\r\nMKD sub\r\nCWD sub\r\nPWD\r\n"
    "TYPE I\r\nPASV\r\nSTOR up.bin\r\nTYPE I\r\nSIZE up.bin\r\n"
    "TYPE I\r\nSIZE up.bin\r\nPASV\r\nREST 20000\r\nSTOR up.bin\r\nPASV\r\nTYPE I\r\nRETR up.bin\r\n"
    "PASV\r\nTYPE A\r\nLIST\r\nPASV\r\nTYPE A\r\nLIST\r\nPASV\r\nTYPE A\r\nLIST\r\n"
    "RNFR up.bin\r\nRNTO kept.bin\r\nDELE kept.bin\r\nRMD sub\r\nQUIT\r\n";

// Loading a program as a library, Windows relocates it and binds its
// imports as it does a library's (its start-up code does not run); Wine's
// loader does neither. Does both as Windows would.
void prepareAsWindowsDoes(HMODULE module) {
    auto* base = reinterpret_cast<unsigned char*>(module);
    auto* headers = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    DWORD protection = 0;
    VirtualProtect(base, headers->OptionalHeader.SizeOfImage, PAGE_EXECUTE_READWRITE, &protection);
    const std::uint32_t delta = word(base) - headers->OptionalHeader.ImageBase;
    const IMAGE_DATA_DIRECTORY& relocations = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    for (DWORD offset = 0; delta != 0 && offset < relocations.Size;) {
        const auto* block = reinterpret_cast<const IMAGE_BASE_RELOCATION*>(base + relocations.VirtualAddress + offset);
        if (block->SizeOfBlock == 0) break;
        const auto* entries = reinterpret_cast<const WORD*>(block + 1);
        for (DWORD i = 0; i < (block->SizeOfBlock - sizeof *block) / sizeof(WORD); ++i)
            if (entries[i] >> 12 == IMAGE_REL_BASED_HIGHLOW)
                *reinterpret_cast<std::uint32_t*>(base + block->VirtualAddress + (entries[i] & 0xFFF)) += delta;
        offset += block->SizeOfBlock;
    }
    headers->OptionalHeader.ImageBase += delta;
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         imports.Size != 0 && import->Name != 0; ++import) {
        HMODULE library = LoadLibraryA(reinterpret_cast<const char*>(base + import->Name));
        auto* named = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* bound = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; named->u1.AddressOfData != 0; ++named, ++bound) {
            const char* name = IMAGE_SNAP_BY_ORDINAL(named->u1.Ordinal)
                                   ? MAKEINTRESOURCEA(IMAGE_ORDINAL(named->u1.Ordinal))
                                   : reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + named->u1.AddressOfData)->Name;
            bound->u1.Function = word(reinterpret_cast<const void*>(GetProcAddress(library, name)));
        }
    }
}

class DeclaredExports : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        module_ = LoadLibraryA(GetParam());
        ASSERT_NE(module_, nullptr) << "LoadLibrary failed with " << GetLastError();
        if (std::string(GetParam()).ends_with(".exe")) prepareAsWindowsDoes(module_);
        directory_ = std::filesystem::temp_directory_path() / ("talven-declare-" + std::to_string(GetTickCount()));
        std::filesystem::create_directories(directory_);
    }
    // The images stay loaded: talven.exe registers its exit handlers with
    // the process, which runs them at its end.
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    // Calls the export name as declared; the stack and the kept registers must
    // be as they were.
    std::uint32_t call(const char* name, const std::vector<std::uint32_t>& arguments) {
        called_.insert(name);
        const void* function = reinterpret_cast<const void*>(GetProcAddress(module_, name));
        EXPECT_NE(function, nullptr) << name;
        if (function == nullptr) return 0;
        const Outcome outcome = callAsDeclared(function, arguments);
        EXPECT_EQ(outcome.fault, "") << name;
        return outcome.result;
    }

    double callReal(const char* name, const std::vector<std::uint32_t>& arguments) {
        called_.insert(name);
        const void* function = reinterpret_cast<const void*>(GetProcAddress(module_, name));
        EXPECT_NE(function, nullptr) << name;
        if (function == nullptr) return 0;
        const Outcome outcome = callAsDeclared(function, arguments, true);
        EXPECT_EQ(outcome.fault, "") << name;
        return outcome.real;
    }

    std::string text(std::uint32_t result) {
        BSTR string = reinterpret_cast<BSTR>(static_cast<std::uintptr_t>(result));
        std::string bytes = bytesOf(string);
        SysFreeString(string);
        return bytes;
    }

    std::string lastStatus() {
        const auto code = static_cast<std::int32_t>(call("FTPGETLASTSTATUSCODE", {}));
        return std::to_string(code) + " " + text(call("FTPGETLASTSTATUSMSG", {}));
    }

    HMODULE module_ = nullptr;
    std::filesystem::path directory_;
    std::set<std::string> called_;
};

}  // namespace

TEST(DeclareCallCheck, CatchesACalleeThatLeavesItsArgumentsOrLosesKeptRegisters) {
    const Outcome cdeclCall = callAsDeclared(reinterpret_cast<const void*>(&subtractLeavingArguments), {7, 2});
    EXPECT_EQ(cdeclCall.result, 5u);  // the first argument was pushed last
    EXPECT_EQ(cdeclCall.fault, "ESP off by -8");
    const Outcome losing = callAsDeclared(reinterpret_cast<const void*>(&losesRegisters), {42});
    EXPECT_EQ(losing.result, 42u);
    EXPECT_EQ(losing.fault, "EBX ESI EDI EBP changed");
}

TEST_P(DeclaredExports, EveryExportKeepsTheStackAndRegistersAndAnswersRight) {
    const std::string upload(20000, 'u'), download = "downloaded bytes";
    std::string stored;
    ScriptedServer server(
        [&](Peer& control) {
            greetAndLogIn(control);
            serveTheTable(control, download, stored);
            serveQuit(control);
        },
        21);
    if (!server.listening()) GTEST_SKIP() << "port 21 on 127.0.0.1 is not available outside a network namespace";
    std::ofstream(directory_ / "up.bin", std::ios::binary) << upload;

    EXPECT_EQ(lastStatus(), "0 ");
    call("ftpSetDefaultTraceCallback", {word(reinterpret_cast<const void*>(&scramblingTrace))});
    BSTR host = newString("127.0.0.1"), user = newString("anonymous"), password = newString("");
    const auto session = static_cast<std::int32_t>(call("ftpConnect", {word(&host), word(&user), word(&password)}));
    ASSERT_GT(session, 0);
    EXPECT_EQ(bytesOf(host), "127.0.0.1");
    EXPECT_EQ(lastStatus(), "230 Logged in");

    BSTR directory = newString("sub"), remote = newString("up.bin"), renamed = newString("kept.bin");
    BSTR local = newString((directory_ / "up.bin").string()), fetched = newString((directory_ / "down.bin").string());
    SAFEARRAY* lines = nullptr;
    const std::uint32_t s = static_cast<std::uint32_t>(session);
    const std::uint32_t trace = word(reinterpret_cast<const void*>(&scramblingTrace));
    const std::uint32_t progress = word(reinterpret_cast<const void*>(&scramblingProgress));
    const std::vector<DeclaredCall> table = {
        {"ftpSetDefaultTraceCallback", {0}, {}, "230 Logged in"},
        {"ftpSetTraceCallback", {s, trace}, 1, "230 Logged in"},
        {"ftpSetProgressCallback", {s, progress}, 1, "230 Logged in"},
        {"ftpSetDefaultTimeout", {99}, 0, "8 Wait Out Of Range"},
        {"ftpSetTimeout", {s, 5000}, 1, "8 Wait Out Of Range"},
        {"ftpSetBinary", {s}, {}, "200 Binary"},
        {"ftpSetAscii", {s}, {}, "200 ASCII"},
        {"FTPMAKEDIR", {s, word(&directory)}, 1, "257 \"/sub\" created"},
        {"ftpChangeDir", {s, word(&directory)}, 1, "250 Changed"},
        {"ftpCurDir", {s}, "/sub", "257 \"/sub\" is current"},
        {"ftpPutFile", {s, 1, word(&remote), word(&local)}, 1, "226 Transfer complete."},
        {"ftpFileSize", {s, word(&remote)}, 20000.0, "213 20000"},
        {"ftpResumePutFile", {s, 1, word(&remote), word(&local)}, 1, "226 Nothing more"},
        {"ftpGetFile", {s, 1, word(&remote), word(&fetched)}, 1, "226 Sent"},
        {"ftpGetList", {s, word(&lines)}, 2, "226 Listed"},
        {"ftpGetFileList", {s, word(&lines)}, 1, "226 Listed"},
        {"ftpGetDirList", {s, word(&lines)}, 1, "226 Listed"},
        {"FTPMOVEORRENAME", {s, word(&remote), word(&renamed)}, 1, "250 Renamed"},
        {"ftpDeleteFile", {s, word(&renamed)}, 1, "250 Deleted"},
        {"FTPREMOVEDIR", {s, word(&directory)}, 0, "550 Not empty"},
        {"ftpQuit", {s}, {}, "221 Goodbye."},
    };
    for (const DeclaredCall& row : table) {
        if (const auto* real = std::get_if<double>(&row.result)) {
            EXPECT_EQ(callReal(row.name, row.arguments), *real) << row.name;
            EXPECT_EQ(lastStatus(), row.status) << row.name;
            continue;
        }
        const std::uint32_t result = call(row.name, row.arguments);
        if (const auto* number = std::get_if<std::int32_t>(&row.result)) {
            EXPECT_EQ(static_cast<std::int32_t>(result), *number) << row.name;
        } else if (const auto* string = std::get_if<std::string>(&row.result)) {
            EXPECT_EQ(text(result), *string) << row.name;
        }
        EXPECT_EQ(lastStatus(), row.status) << row.name;
    }

    EXPECT_EQ(server.transcript(), kTableTranscript);
    // The trace, from the greeting on, holds every command sent, PASS masked.
    std::string sentLines;
    std::istringstream traced(gTraced);
    for (std::string row; std::getline(traced, row);)
        if (row.starts_with("> ")) sentLines += (row == "> PASS ****" ? "PASS " : row.substr(2)) + "\r\n";
    EXPECT_EQ(sentLines, kTableTranscript);
    EXPECT_EQ(gTraced.substr(0, 28), "< 220 Scripted server ready\n");
    // The progress of the upload ends at its size, the download's at the
    // bytes received of a size the server did not announce.
    EXPECT_NE(std::find(gProgress.begin(), gProgress.end(), std::make_pair(20000.0, 20000.0)), gProgress.end());
    ASSERT_FALSE(gProgress.empty());
    EXPECT_EQ(gProgress.back(), std::make_pair(double(download.size()), -1.0));
    gTraced.clear();
    gProgress.clear();
    EXPECT_EQ(stored, upload);
    EXPECT_EQ(readFile(directory_ / "down.bin"), download);
    ASSERT_NE(lines, nullptr);
    BSTR* line = nullptr;
    SafeArrayAccessData(lines, reinterpret_cast<void**>(&line));
    EXPECT_EQ(bytesOf(line[1]), "drwxr-xr-x 2 0 0 4096 Dec 08 10:00 sub");
    SafeArrayUnaccessData(lines);
    SafeArrayDestroy(lines);
    // ftpConnectTLS where no server listens: refused before any TLS.
    BSTR elsewhere = newString("127.0.0.2"), pin = newString("");
    EXPECT_EQ(static_cast<std::int32_t>(
                  call("ftpConnectTLS", {word(&elsewhere), word(&user), word(&password), word(&pin)})),
              -1);
    EXPECT_EQ(lastStatus(), "57 Unable to open socket");
    for (BSTR string : {host, user, password, directory, remote, renamed, local, fetched, elsewhere, pin})
        SysFreeString(string);
    EXPECT_EQ(called_, std::set<std::string>(std::begin(kExportedNames), std::end(kExportedNames)));
}

INSTANTIATE_TEST_SUITE_P(ShippedImages, DeclaredExports, ::testing::Values("talvenftp.dll", "talven.exe"),
                         [](const auto& info) { return std::string(info.param) == "talven.exe" ? "Program" : "Library"; });
