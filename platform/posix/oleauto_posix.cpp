// The OLE string allocator and string arrays, for platforms without an OLE
// library. Same layout and meaning as on Windows: a BSTR points just past a
// 32-bit byte count and is followed by a terminating zero.
#include "talven_abi.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {
constexpr std::size_t kCountSize = sizeof(std::uint32_t);
constexpr std::size_t kTerminatorSize = 2;  // a wide zero, as Windows writes

std::uint32_t& storedLength(BSTR string) {
    return *reinterpret_cast<std::uint32_t*>(string - kCountSize);
}

BSTR* elements(SAFEARRAY* array) { return static_cast<BSTR*>(array->pvData); }
}  // namespace

extern "C" {

BSTR SysAllocStringByteLen(const char* bytes, UINT length) {
    char* block = static_cast<char*>(std::malloc(kCountSize + std::size_t{length} + kTerminatorSize));
    if (block == nullptr) return nullptr;
    BSTR string = block + kCountSize;
    storedLength(string) = length;
    if (bytes != nullptr) std::memcpy(string, bytes, length);
    std::memset(string + length, 0, kTerminatorSize);
    return string;
}

void SysFreeString(BSTR string) {
    if (string != nullptr) std::free(string - kCountSize);
}

UINT SysStringByteLen(BSTR string) { return string == nullptr ? 0 : storedLength(string); }

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count) {
    if (vt != VT_BSTR) return nullptr;
    SAFEARRAY* array = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
    if (array == nullptr) return nullptr;
    array->pvData = std::calloc(count == 0 ? 1 : count, sizeof(BSTR));
    if (array->pvData == nullptr) {
        std::free(array);
        return nullptr;
    }
    array->cDims = 1;
    array->fFeatures = FADF_BSTR | FADF_HAVEVARTYPE;
    array->cbElements = sizeof(BSTR);
    array->rgsabound[0].cElements = count;
    array->rgsabound[0].lLbound = lowerBound;
    return array;
}

// An array that its owner keeps in place (of fixed size, static, on the
// stack or inside a structure) was not allocated here and is not freed.
HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (array == nullptr) return S_OK;
    constexpr unsigned kKeptInPlace = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;
    if (array->cLocks != 0 || (array->fFeatures & kKeptInPlace) != 0) return DISP_E_ARRAYISLOCKED;
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) SysFreeString(elements(array)[i]);
    std::free(array->pvData);
    std::free(array);
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* bound) {
    if (array == nullptr || bound == nullptr) return E_INVALIDARG;
    if (dimension != 1) return DISP_E_BADINDEX;
    *bound = array->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* bound) {
    if (array == nullptr || bound == nullptr) return E_INVALIDARG;
    if (dimension != 1) return DISP_E_BADINDEX;
    *bound = array->rgsabound[0].lLbound + static_cast<LONG>(array->rgsabound[0].cElements) - 1;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
    if (array == nullptr || data == nullptr) return E_INVALIDARG;
    ++array->cLocks;
    *data = array->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
    if (array == nullptr) return E_INVALIDARG;
    if (array->cLocks == 0) return E_INVALIDARG;
    --array->cLocks;
    return S_OK;
}

}  // extern "C"
