// The Win32 platform layer where it differs from the others: the popup's
// script file and script host, the console when output is a file, window
// captions, file attributes and error numbers, and the OLE frame.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "os.h"

namespace {

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Each test runs in a directory of its own, made the current one, as the
// popup's script lies in the current directory.
class InScratchDirectory : public ::testing::Test {
protected:
    InScratchDirectory() {
        std::random_device random;
        scratch_ = std::filesystem::temp_directory_path() / ("talven-win32-" + std::to_string(random()));
        std::filesystem::create_directories(scratch_);
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(scratch_);
    }
    ~InScratchDirectory() override {
        std::filesystem::current_path(previous_);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(scratch_))
            SetFileAttributesA(entry.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }

private:
    std::filesystem::path scratch_;
    std::filesystem::path previous_;
};

// ---------------------------------------------------------------- popup

// The name holds a character outside ASCII (in the test's ANSI code page,
// 1252), which the script file and the box must carry as that character.
const std::string kMessage = "Fitxer C:\\\xE0.txt enviat correctament";
const std::string kScript = "var wshShell=WScript.CreateObject('WScript.Shell');\r\n"
                            "wshShell.Popup('Fitxer C:\\\\\xE0.txt enviat correctament',0,'Talven',0x0);\r\n";

// The script as the host finds it in the file: the character outside ASCII
// as its JScript escape, so that the host reads it in any code page.
const std::string kScriptFile = "var wshShell=WScript.CreateObject('WScript.Shell');\r\n"
                                "wshShell.Popup('Fitxer C:\\\\\\u00E0.txt enviat correctament',0,'Talven',0x0);\r\n";

// A message box as the test found it on the screen.
struct Box {
    std::string title;
    std::string text;
    bool operator==(const Box& other) const { return title == other.title && text == other.text; }
};

std::ostream& operator<<(std::ostream& out, const Box& box) { return out << box.title << ": " << box.text; }

std::string windowText(HWND window) {
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

BOOL CALLBACK keepStaticText(HWND child, LPARAM found) {
    char name[16] = {};
    GetClassNameA(child, name, sizeof name);
    if (lstrcmpiA(name, "Static") != 0 || GetWindowTextLengthA(child) == 0) return TRUE;
    *reinterpret_cast<std::string*>(found) = windowText(child);
    return FALSE;
}

// The message is the box's one static control with text; its id differs
// between Windows (0xFFFF) and Wine.
std::string boxMessage(HWND box) {
    std::string message;
    EnumChildWindows(box, keepStaticText, reinterpret_cast<LPARAM>(&message));
    return message;
}

DWORD WINAPI showThroughHost(void* command) {
    os::showPopup("Talven", kMessage, "TALVEN.JS", kScript, *static_cast<const std::string*>(command));
    return 0;
}

// Shows the popup on a thread of its own with command as the script host
// while this thread reads every message box titled Talven and closes it, as
// a user would with OK. Gives up after 20 s, failing the test, rather than
// wait for a box that cannot be closed.
std::vector<Box> showClosingBoxes(const std::string& command) {
    auto* held = new std::string(command);  // the popup's thread may outlive this call
    HANDLE popup = CreateThread(nullptr, 0, showThroughHost, held, 0, nullptr);
    std::vector<Box> boxes;
    HWND seen = nullptr;
    for (DWORD start = GetTickCount(); WaitForSingleObject(popup, 50) == WAIT_TIMEOUT;) {
        if (GetTickCount() - start > 20000) {
            ADD_FAILURE() << "the popup did not return within 20 s";
            CloseHandle(popup);
            return boxes;
        }
        HWND box = FindWindowA("#32770", "Talven");
        if (box == nullptr || !IsWindowVisible(box)) continue;
        if (box != seen) boxes.push_back({windowText(box), boxMessage(box)});
        seen = box;
        PostMessageA(box, WM_CLOSE, 0, 0);
    }
    CloseHandle(popup);
    delete held;
    return boxes;
}

// The probe that stands in for CSCRIPT, by its full path (a program named
// without a folder is the system's own), with its arguments.
std::string probeProgram() {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string folder(self);
    return folder.substr(0, folder.rfind('\\') + 1) + "popup_probe.exe";
}
std::string probe(const std::string& arguments) {
    std::string command(1, '"');
    command.append(probeProgram()).append("\" ").append(arguments);
    return command;
}

// The probe copies the script it finds to seen.js after a pause; the script
// host shows the message, so no box is shown.
void showWithProbe() { EXPECT_EQ(showClosingBoxes(probe("seen.js")), std::vector<Box>{}); }

const std::vector<Box> kOurBox = {{"Talven", kMessage}};

class Popup : public InScratchDirectory {};

TEST_F(Popup, TheHostRunsTheClosedScriptAndIsWaitedForThenTheScriptIsDeleted) {
    showWithProbe();
    EXPECT_EQ(readBytes("seen.js"), kScriptFile);
    EXPECT_FALSE(exists("TALVEN.JS"));
}

// A CSCRIPT.EXE planted in the current folder (Downloads, a share) is not
// the one run, and the host inherits none of the program's handles.
TEST_F(Popup, TheHostIsTheSystemsOwnAndInheritsNoHandle) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE event = CreateEventA(&inheritable, TRUE, TRUE, nullptr);
    EXPECT_EQ(showClosingBoxes(probe("seen.js 0 " + std::to_string(reinterpret_cast<std::uintptr_t>(event)))),
              std::vector<Box>{});
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the host reset the program's event";
    CloseHandle(event);
    DeleteFileA("probe.ran");
    ASSERT_TRUE(CopyFileA(probeProgram().c_str(), "CSCRIPT.EXE", FALSE));
    EXPECT_EQ(showClosingBoxes("CSCRIPT //NOLOGO TALVEN.JS"), kOurBox);
    EXPECT_FALSE(exists("probe.ran")) << "the CSCRIPT.EXE in the current folder ran";
    EXPECT_FALSE(exists("TALVEN.JS"));
}

// "missing", "directory" or the file's bytes.
std::string describe(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return "missing";
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? "directory" : readBytes(path);
}

HANDLE nothingHeld() { return INVALID_HANDLE_VALUE; }

HANDLE aDirectoryOfThatName() {
    CreateDirectoryA("TALVEN.JS", nullptr);
    return INVALID_HANDLE_VALUE;
}

// A file of that name that is there already (the user's own, another run's)
// is left as it is, whatever its marks, and never run.
HANDLE anEarlierScriptMarked(DWORD mark) {
    writeBytes("TALVEN.JS", "old");
    SetFileAttributesA("TALVEN.JS", mark);
    return INVALID_HANDLE_VALUE;
}
HANDLE anEarlierScript() { return anEarlierScriptMarked(FILE_ATTRIBUTE_NORMAL); }
HANDLE aHiddenScript() { return anEarlierScriptMarked(FILE_ATTRIBUTE_HIDDEN); }
HANDLE aSystemScript() { return anEarlierScriptMarked(FILE_ATTRIBUTE_SYSTEM); }

// A script planted by someone else and held open, for reading only, while
// the popup runs: it cannot be rewritten, but a host could run it.
HANDLE aForeignScriptHeldOpen() {
    writeBytes("TALVEN.JS", "old");
    return CreateFileA("TALVEN.JS", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Where the script cannot be written, or a file of that name is there
// already, the host is not run on whatever lies there; where the host cannot
// start or ends with a failure it showed nothing. Either way the system's box shows the message once.
TEST_F(Popup, WhereTheHostCannotShowTheMessageTheSystemsBoxDoes) {
    struct {
        const char* what;
        HANDLE (*prepare)();
        std::string host;
        std::string hostSaw;
        std::string scriptLeft;
    } cases[] = {
        {"a directory named TALVEN.JS", aDirectoryOfThatName, probe("seen.js"), "missing", "directory"},
        {"TALVEN.JS held open", aForeignScriptHeldOpen, probe("seen.js"), "missing", "old"},
        {"an earlier TALVEN.JS", anEarlierScript, probe("seen.js"), "missing", "old"},
        {"a hidden TALVEN.JS", aHiddenScript, probe("seen.js"), "missing", "old"},
        {"a system TALVEN.JS", aSystemScript, probe("seen.js"), "missing", "old"},
        {"a host that cannot start", nothingHeld, "talven_no_such_script_host TALVEN.JS", "missing", "missing"},
        {"a host that fails", nothingHeld, probe("seen.js 1"), kScriptFile, "missing"},
    };
    int number = 0;
    for (const auto& c : cases) {
        std::string directory = "case" + std::to_string(++number);
        CreateDirectoryA(directory.c_str(), nullptr);
        SetCurrentDirectoryA(directory.c_str());
        HANDLE held = c.prepare();
        const DWORD marks = GetFileAttributesA("TALVEN.JS");
        EXPECT_EQ(showClosingBoxes(c.host), kOurBox) << c.what;
        EXPECT_EQ(GetFileAttributesA("TALVEN.JS"), marks) << c.what;
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        EXPECT_EQ(describe("seen.js"), c.hostSaw) << c.what;
        EXPECT_EQ(describe("TALVEN.JS"), c.scriptLeft) << c.what;
        SetCurrentDirectoryA("..");
    }
}

// Wine keeps the read-only mark in the Unix permissions, which do not stop
// root from writing.
bool readOnlyFilesRefuseWriters() {
    writeBytes("probe.txt", "x");
    SetFileAttributesA("probe.txt", FILE_ATTRIBUTE_READONLY);
    HANDLE writer = CreateFileA("probe.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (writer == INVALID_HANDLE_VALUE) return true;
    CloseHandle(writer);
    return false;
}

TEST_F(Popup, AReadOnlyScriptIsNeitherRunNorDeletedAndTheSystemsBoxShowsTheMessage) {
    if (!readOnlyFilesRefuseWriters()) GTEST_SKIP() << "read-only files can be written here (Wine run as root)";
    writeBytes("TALVEN.JS", "old");
    SetFileAttributesA("TALVEN.JS", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(showClosingBoxes(probe("seen.js")), kOurBox);
    EXPECT_FALSE(exists("seen.js"));
    EXPECT_EQ(readBytes("TALVEN.JS"), "old");
}

// ---------------------------------------------------------------- console

// Standard output redirected to a file, as a caller's "> file" does; the
// console calls fail there and the layer counts columns itself.
class ConsoleToFile : public InScratchDirectory {
protected:
    ConsoleToFile() : screen_(GetStdHandle(STD_OUTPUT_HANDLE)) {
        file_ = CreateFileA("out.txt", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        SetStdHandle(STD_OUTPUT_HANDLE, file_);
    }
    ~ConsoleToFile() override {
        SetStdHandle(STD_OUTPUT_HANDLE, screen_);
        CloseHandle(file_);
    }

private:
    HANDLE screen_;
    HANDLE file_;
};

TEST_F(ConsoleToFile, TextGoesOutAsItStandsAndColumnsAreCounted) {
    EXPECT_FALSE(os::consoleIsScreen());
    os::consoleMoveToColumn(1);
    EXPECT_EQ(os::consoleColumn(), 0);
    os::consoleWrite("inv.2024.pdf");
    EXPECT_EQ(os::consoleColumn(), 12);
    os::consoleMoveToColumn(14);
    EXPECT_EQ(os::consoleColumn(), 13);
    os::consoleWrite("\xE8");
    os::consoleWrite(os::consoleLineEnd());
    EXPECT_EQ(os::consoleColumn(), 0);
    EXPECT_EQ(readBytes("out.txt"), "inv.2024.pdf\xE8\r\n");
}

// ---------------------------------------------------------------- windows

TEST(WindowCaption, TheCaptionIsSetOnTheWindowNamedByItsHandle) {
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    os::setWindowCaption(static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(window)), "8192 / 20000");
    char caption[64] = {};
    GetWindowTextA(window, caption, sizeof caption);
    EXPECT_STREQ(caption, "8192 / 20000");
    DestroyWindow(window);
}

// A window whose thread waits for the transfer (or hangs) reads no messages:
// its captions must not hold the transfer. Once that thread reads its
// messages again, captions arrive again after the pause.
TEST(WindowCaption, AWindowWhoseThreadDoesNotAnswerHoldsNoCaptionLong) {
    HWND window = nullptr;
    HANDLE created = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE pump = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE finish = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, nullptr, nullptr);
        SetEvent(created);
        WaitForSingleObject(pump, INFINITE);  // reads no messages meanwhile
        MSG message;
        while (MsgWaitForMultipleObjects(1, &finish, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        DestroyWindow(window);
    });
    WaitForSingleObject(created, INFINITE);
    const auto handle = static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(window));
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread captions([&] {
        for (int i = 1; i <= 20; ++i) os::setWindowCaption(handle, std::to_string(i * 8192) + " / 163840");
        SetEvent(done);
    });
    EXPECT_EQ(WaitForSingleObject(done, 2000), WAIT_OBJECT_0) << "20 captions held the caller for 2 s";
    SetEvent(pump);
    captions.join();
    CloseHandle(done);
    Sleep(1100);
    os::setWindowCaption(handle, "163840 / 163840");
    EXPECT_EQ(windowText(window), "163840 / 163840");
    SetEvent(finish);
    owner.join();
    CloseHandle(finish);
    CloseHandle(created);
    CloseHandle(pump);
}

// ---------------------------------------------------------------- files

class Files : public InScratchDirectory {};

TEST_F(Files, HiddenAndSystemFilesAreNotPlainFiles) {
    writeBytes("plain", "x");
    writeBytes("hidden", "x");
    writeBytes("system", "x");
    SetFileAttributesA("hidden", FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesA("system", FILE_ATTRIBUTE_SYSTEM);
    CreateDirectoryA("directory", nullptr);
    EXPECT_EQ(os::pathKind("plain"), os::PathKind::plainFile);
    EXPECT_EQ(os::pathKind("hidden"), os::PathKind::specialFile);
    EXPECT_EQ(os::pathKind("system"), os::PathKind::specialFile);
    EXPECT_EQ(os::pathKind("directory"), os::PathKind::directory);
    EXPECT_EQ(os::pathKind("missing"), os::PathKind::missing);
}

TEST_F(Files, FailuresGiveTheirErrorNumbersAndLeaveTheErrorModeAsItWas) {
    UINT before = SetErrorMode(0);
    os::FileHandle handle = 0;
    EXPECT_EQ(os::openForReading("missing.txt", handle), 53);
    EXPECT_EQ(os::openForReading("no such directory\\a.txt", handle), 76);
    EXPECT_EQ(os::openForReading("a*.txt", handle), 64);
    // A device is no file: reading it may never end (a pipe) or have no size.
    EXPECT_EQ(os::openForReading("NUL", handle), 70);
    EXPECT_EQ(os::openForReading("C:\\nul.txt", handle), 70);
    writeBytes("held.txt", "x");
    HANDLE writer = CreateFileA("held.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(os::openForReading("held.txt", handle), 70);
    CloseHandle(writer);
    EXPECT_EQ(os::createExclusive("held.txt", handle), 70);
    EXPECT_EQ(GetErrorMode(), 0u);
    SetErrorMode(before);
}

// The dialogs go off for the calling thread alone: with one mode for the
// whole process, two threads' calls would switch them back on under each
// other, and a call could block on a dialog nobody answers.
TEST_F(Files, FileCallsLeaveTheProcesssErrorModeToOtherThreads) {
    UINT before = SetErrorMode(0);
    std::atomic<bool> done{false};
    std::thread caller([&done] {
        for (int i = 0; i < 20000; ++i) os::pathKind("missing.txt");
        done = true;
    });
    UINT seen = 0;
    while (!done) seen |= GetErrorMode();
    caller.join();
    EXPECT_EQ(seen, 0u);
    SetErrorMode(before);
}

TEST_F(Files, AReaderLetsOthersReadButNotWrite) {
    writeBytes("shared.txt", "x");
    os::FileHandle handle = 0;
    ASSERT_EQ(os::openForReading("shared.txt", handle), 0);
    HANDLE reader = CreateFileA("shared.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE writer =
        CreateFileA("shared.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    os::closeFile(handle);
}

// A download's new file takes the old one's place with its attributes.
TEST_F(Files, AReplacedFileKeepsItsAttributes) {
    for (DWORD mark : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}) {
        writeBytes("target", "old");
        SetFileAttributesA("target", mark);
        writeBytes("new", "new");
        EXPECT_EQ(os::replaceFile("new", "target"), 0) << mark;
        EXPECT_EQ(readBytes("target"), "new");
        EXPECT_EQ(GetFileAttributesA("target") & mark, mark);
        EXPECT_FALSE(exists("new"));
        SetFileAttributesA("target", FILE_ATTRIBUTE_NORMAL);
    }
    writeBytes("new", "new");
    EXPECT_EQ(os::replaceFile("new", "fresh"), 0);
    EXPECT_EQ(readBytes("fresh"), "new");
}

// ---------------------------------------------------------------- process

HRESULT gOleAgain = E_FAIL;

int entryThatChecksOle() {
    // OLE already initialised on this thread answers S_FALSE.
    gOleAgain = OleInitialize(nullptr);
    OleUninitialize();
    return 7;
}

TEST(ProcessFrame, OleIsInitialisedAroundTheEntryAndItsResultReturned) {
    EXPECT_EQ(os::runProgram(0, nullptr, &entryThatChecksOle), 7);
    EXPECT_EQ(gOleAgain, S_FALSE);
    // Released afterwards: a new initialisation is the first again.
    EXPECT_EQ(OleInitialize(nullptr), S_OK);
    OleUninitialize();
}

TEST(ProcessFrame, TheCommandLineIsTheOneTheSystemKeeps) {
    EXPECT_EQ(os::commandLine(), GetCommandLineA());
}

}  // namespace
