// The exported C interface: thin adapters between BSTRs and the C++ client.
#include "talvenftp.h"

#include "client.h"

namespace {

std::string text(BSTR* argument) {
    if (argument == nullptr || *argument == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(*argument), SysStringByteLen(*argument));
}

BSTR newString(const std::string& bytes) {
    return SysAllocStringByteLen(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

}  // namespace

extern "C" {

TALVEN_API int32_t TALVEN_CALL ftpConnect(BSTR* host, BSTR* user, BSTR* password) {
    return talven::ftpConnect(text(host), text(user), text(password));
}

TALVEN_API void TALVEN_CALL ftpQuit(int32_t session) { talven::ftpQuit(session); }

TALVEN_API int32_t TALVEN_CALL FTPGETLASTSTATUSCODE(void) { return talven::ftpLastReplyCode(); }

TALVEN_API BSTR TALVEN_CALL FTPGETLASTSTATUSMSG(void) { return newString(talven::ftpLastReplyText()); }

}  // extern "C"
