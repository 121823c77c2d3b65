#include "tls_peer.h"

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <vector>
#include <iterator>

namespace testftp {
namespace {

// Wine's own calls, present only under Wine: Python runs as a Unix program
// there and names its files by their Unix names.
using UnixName = char* (*)(const wchar_t*);
using DosName = wchar_t* (*)(const char*);

template <typename Call>
Call wineCall(const char* name) {
    return reinterpret_cast<Call>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string pythonName(const std::string& path) {
    const auto unixName = wineCall<UnixName>("wine_get_unix_file_name");
    if (unixName == nullptr) return path;
    char* name = unixName(wide(path).c_str());
    std::string result = name != nullptr ? name : path;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

std::wstring python() {
    const auto dosName = wineCall<DosName>("wine_get_dos_file_name");
    if (dosName == nullptr) return L"python3.exe";
    wchar_t* name = dosName("/usr/bin/python3");
    std::wstring result = name != nullptr ? name : L"python3.exe";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

}  // namespace

void runPython(const std::string& script, const std::vector<std::string>& arguments, const std::string&) {
    std::string converted;
    for (const std::string& argument : arguments) {
        const bool names = GetFileAttributesA(argument.c_str()) != INVALID_FILE_ATTRIBUTES;
        converted += " \"" + (names ? pythonName(argument) : argument) + "\"";
    }
    const std::wstring program = python();
    std::wstring line = L"python3 \"" + wide(script) + L"\"" + wide(converted);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return;
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

void trustTestCa(const std::string& pemFile) {
    std::ifstream in(pemFile, std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    BYTE der[8192];
    DWORD size = sizeof der;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der, &size,
                              nullptr, nullptr))
        return;
    HCERTSTORE root = CertOpenSystemStoreW(0, L"ROOT");
    if (root == nullptr) return;
    CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der, size, CERT_STORE_ADD_USE_EXISTING, nullptr);
    CertCloseStore(root, 0);
}

std::string whyNoTlsResumption() {
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr) return {};
    return "Wine's Schannel (over GnuTLS) does not resume TLS sessions";
}

}  // namespace testftp
