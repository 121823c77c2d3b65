// Stands in for the script host in the popup tests: started by the popup
// with "popup_probe COPY [EXIT [EVENT]]", it leaves probe.ran in the current
// directory, so that every run of it shows, and resets the event whose handle
// value EVENT gives, so that a handle it inherited shows. It waits a moment,
// so that a caller that does not wait for it would already have moved on,
// then copies the script it finds in the current directory to COPY and ends
// with EXIT (default 0), as a host that fails on the script or is disabled
// ends with 1. Where it finds no script to copy, COPY is left empty, so that
// its run shows.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
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
