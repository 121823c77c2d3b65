// Stands in for the script host in the popup tests: started by the popup
// with "popup_probe COPY [EXIT [EVENT]]", it leaves probe.ran in the current
// directory, so that every run of it shows, and resets the event whose handle
// value EVENT gives, so that a handle it inherited shows. It waits a moment,
// so that a caller that does not wait for it would already have moved on,
// then copies the script it finds in the current directory to COPY and ends
// with EXIT (default 0), as a host that fails on the script or is disabled
// ends with 1. Where it finds no script to copy, COPY is left empty, so that
// its run shows.
//
// "popup_probe --box-text OUT" instead reads what the popup on the screen
// says, as the user sees it: the text of the first static control of the
// dialog titled Talven (the script host's popup and the system's message
// box alike), written to OUT in UTF-8. It ends with 1 when no such window
// is shown.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

BOOL CALLBACK keepStaticText(HWND child, LPARAM found) {
    wchar_t name[16] = {};
    GetClassNameW(child, name, 16);
    if (lstrcmpiW(name, L"Static") != 0 || GetWindowTextLengthW(child) == 0) return TRUE;
    auto* text = reinterpret_cast<std::wstring*>(found);
    text->resize(static_cast<std::size_t>(GetWindowTextLengthW(child)) + 1);
    text->resize(static_cast<std::size_t>(GetWindowTextW(child, text->data(), static_cast<int>(text->size()))));
    return FALSE;
}

int writeBoxText(const char* out) {
    HWND box = FindWindowW(L"#32770", L"Talven");
    if (box == nullptr) return 1;
    std::wstring text;
    EnumChildWindows(box, keepStaticText, reinterpret_cast<LPARAM>(&text));
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
    HANDLE file = CreateFileA(out, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--box-text") == 0) return writeBoxText(argv[2]);
    CloseHandle(CreateFileA("probe.ran", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (argc == 4) ResetEvent(reinterpret_cast<HANDLE>(std::strtoull(argv[3], nullptr, 10)));
    if (argc < 2 || argc > 4) return 2;
    Sleep(300);
    if (!CopyFileA("TALVEN.JS", argv[1], FALSE)) {
        CloseHandle(CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        return 1;
    }
    return argc >= 3 ? std::atoi(argv[2]) : 0;
}
