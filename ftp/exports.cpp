// The exported C interface: thin adapters between BSTRs and the C++ client.
#include "talvenftp.h"

#include "client.h"
#include "hooks.h"

namespace {

std::string text(BSTR* argument) {
    if (argument == nullptr || *argument == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(*argument), SysStringByteLen(*argument));
}

BSTR newString(const std::string& bytes) {
    return SysAllocStringByteLen(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

// The array with every line, or nullptr (and nothing left allocated) when
// memory runs out.
SAFEARRAY* newStringArray(const std::vector<std::string>& lines) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<unsigned int>(lines.size()));
    if (array == nullptr) return nullptr;
    BSTR* elements = nullptr;
    if (SafeArrayAccessData(array, reinterpret_cast<void**>(&elements)) != S_OK) {
        SafeArrayDestroy(array);
        return nullptr;
    }
    bool complete = true;
    for (std::size_t i = 0; i < lines.size() && complete; ++i) {
        elements[i] = newString(lines[i]);
        complete = elements[i] != nullptr;
    }
    SafeArrayUnaccessData(array);
    if (complete) return array;
    SafeArrayDestroy(array);
    return nullptr;
}

// An array that its caller's language keeps in place (of fixed size, static,
// on the stack or inside a structure) or has locked is not the callee's to
// destroy, whatever the OLE library would do with it.
bool destroyable(const SAFEARRAY* array) {
    constexpr unsigned kKeptInPlace = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;
    return array->cLocks == 0 && (array->fFeatures & kKeptInPlace) == 0;
}

using Listing = std::int32_t (*)(std::int32_t, std::vector<std::string>&);

std::int32_t listInto(Listing listing, std::int32_t session, SAFEARRAY** lines) {
    if (lines == nullptr) {
        talven::ftpRecordBuiltStatus(11, "No Line List");
        return 0;
    }
    if (*lines != nullptr) {
        if (!destroyable(*lines) || SafeArrayDestroy(*lines) != S_OK) {
            talven::ftpRecordBuiltStatus(10, "Line List Is Fixed Or Locked");
            return 0;
        }
        *lines = nullptr;
    }
    std::vector<std::string> found;
    const std::int32_t highest = listing(session, found);
    *lines = newStringArray(found);
    if (*lines == nullptr) {
        talven::ftpRecordBuiltStatus(7, "Out Of Memory");
        return 0;
    }
    return highest;
}

}  // namespace

extern "C" {

TALVEN_API int32_t TALVEN_CALL ftpConnect(BSTR* host, BSTR* user, BSTR* password) {
    return talven::ftpConnect(text(host), text(user), text(password));
}

TALVEN_API int32_t TALVEN_CALL ftpConnectTLS(BSTR* host, BSTR* user, BSTR* password, BSTR* pin) {
    return talven::ftpConnectTLS(text(host), text(user), text(password), text(pin));
}

TALVEN_API void TALVEN_CALL ftpQuit(int32_t session) { talven::ftpQuit(session); }

TALVEN_API int32_t TALVEN_CALL FTPGETLASTSTATUSCODE(void) { return talven::ftpLastReplyCode(); }

TALVEN_API BSTR TALVEN_CALL FTPGETLASTSTATUSMSG(void) { return newString(talven::ftpLastReplyText()); }

TALVEN_API int32_t TALVEN_CALL ftpDeleteFile(int32_t session, BSTR* name) {
    return talven::ftpDeleteFile(session, text(name));
}

TALVEN_API int32_t TALVEN_CALL FTPMAKEDIR(int32_t session, BSTR* name) {
    return talven::FTPMAKEDIR(session, text(name));
}

TALVEN_API int32_t TALVEN_CALL FTPREMOVEDIR(int32_t session, BSTR* name) {
    return talven::FTPREMOVEDIR(session, text(name));
}

TALVEN_API int32_t TALVEN_CALL FTPMOVEORRENAME(int32_t session, BSTR* oldName, BSTR* newName) {
    return talven::FTPMOVEORRENAME(session, text(oldName), text(newName));
}

TALVEN_API void TALVEN_CALL ftpSetAscii(int32_t session) { talven::ftpSetAscii(session); }

TALVEN_API void TALVEN_CALL ftpSetBinary(int32_t session) { talven::ftpSetBinary(session); }

TALVEN_API BSTR TALVEN_CALL ftpCurDir(int32_t session) { return newString(talven::ftpCurDir(session)); }

TALVEN_API int32_t TALVEN_CALL ftpChangeDir(int32_t session, BSTR* name) {
    return talven::ftpChangeDir(session, text(name));
}

TALVEN_API int32_t TALVEN_CALL ftpPutFile(int32_t session, int32_t window, BSTR* remoteName, BSTR* localPath) {
    return talven::ftpPutFile(session, window, text(remoteName), text(localPath));
}

TALVEN_API double TALVEN_CALL ftpFileSize(int32_t session, BSTR* remoteName) {
    return talven::ftpFileSize(session, text(remoteName));
}

TALVEN_API int32_t TALVEN_CALL ftpResumePutFile(int32_t session, int32_t window, BSTR* remoteName,
                                                BSTR* localPath) {
    return talven::ftpResumePutFile(session, window, text(remoteName), text(localPath));
}

TALVEN_API int32_t TALVEN_CALL ftpGetFile(int32_t session, int32_t window, BSTR* remoteName, BSTR* localPath) {
    return talven::ftpGetFile(session, window, text(remoteName), text(localPath));
}

TALVEN_API int32_t TALVEN_CALL ftpGetList(int32_t session, SAFEARRAY** lines) {
    return listInto(&talven::ftpGetList, session, lines);
}

TALVEN_API int32_t TALVEN_CALL ftpGetFileList(int32_t session, SAFEARRAY** lines) {
    return listInto(&talven::ftpGetFileList, session, lines);
}

TALVEN_API int32_t TALVEN_CALL ftpGetDirList(int32_t session, SAFEARRAY** lines) {
    return listInto(&talven::ftpGetDirList, session, lines);
}

TALVEN_API int32_t TALVEN_CALL ftpSetTimeout(int32_t session, int32_t milliseconds) {
    return talven::ftpSetSessionWait(session, milliseconds) ? 1 : 0;
}

TALVEN_API int32_t TALVEN_CALL ftpSetDefaultTimeout(int32_t milliseconds) {
    return talven::ftpSetThreadDefaultWait(milliseconds) ? 1 : 0;
}

TALVEN_API int32_t TALVEN_CALL ftpSetTraceCallback(int32_t session, FtpTraceCallback trace) {
    return talven::ftpSetSessionTrace(session, trace) ? 1 : 0;
}

TALVEN_API void TALVEN_CALL ftpSetDefaultTraceCallback(FtpTraceCallback trace) {
    talven::ftpSetThreadDefaultTrace(trace);
}

TALVEN_API int32_t TALVEN_CALL ftpSetProgressCallback(int32_t session, FtpProgressCallback progress) {
    return talven::ftpSetSessionProgress(session, progress) ? 1 : 0;
}

}  // extern "C"
