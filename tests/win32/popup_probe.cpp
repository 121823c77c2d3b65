// Stands in for the script host in the popup tests: started by the popup
// with "popup_probe COPY", it waits a moment, so that a caller that does not
// wait for it would already have moved on, then copies the script it finds
// in the current directory to COPY.
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    Sleep(300);
    return CopyFileA("TALVEN.JS", argv[1], FALSE) ? 0 : 1;
}
