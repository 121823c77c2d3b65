/* The binary interface of Talven's exported functions on POSIX systems.
 *
 * There is no OLE library here, so this header supplies the two OLE types the
 * interface uses, with the same layout and meaning as on Windows:
 *   BSTR       a counted byte string: a 32-bit byte length stored just before
 *              the bytes and a terminating zero after them; NULL is the empty
 *              string. Allocated with SysAllocStringByteLen, freed with
 *              SysFreeString.
 *   SAFEARRAY  a one-dimensional array of BSTR, as created by
 *              SafeArrayCreateVector(VT_BSTR, ...) and freed with
 *              SafeArrayDestroy, which frees its strings too and refuses
 *              (DISP_E_ARRAYISLOCKED) an array that is locked or flagged
 *              FADF_AUTO, FADF_STATIC, FADF_EMBEDDED or FADF_FIXEDSIZE.
 */
#ifndef TALVEN_ABI_H
#define TALVEN_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TALVEN_CALL
#define TALVEN_API __attribute__((visibility("default")))

typedef char *BSTR;
typedef int32_t HRESULT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef unsigned short VARTYPE;

TALVEN_API BSTR SysAllocStringByteLen(const char *bytes, UINT length);
TALVEN_API void SysFreeString(BSTR string);
TALVEN_API UINT SysStringByteLen(BSTR string);

typedef struct tagSAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
} SAFEARRAYBOUND;

typedef struct tagSAFEARRAY {
    unsigned short cDims;
    unsigned short fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void *pvData;
    SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY;

#define VT_BSTR 8
#define FADF_AUTO 0x1
#define FADF_STATIC 0x2
#define FADF_EMBEDDED 0x4
#define FADF_FIXEDSIZE 0x10
#define FADF_BSTR 0x100
#define FADF_HAVEVARTYPE 0x80
#define S_OK ((HRESULT)0)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define DISP_E_BADINDEX ((HRESULT)0x8002000B)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000D)

TALVEN_API SAFEARRAY *SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count);
TALVEN_API HRESULT SafeArrayDestroy(SAFEARRAY *array);
TALVEN_API HRESULT SafeArrayGetLBound(SAFEARRAY *array, UINT dimension, LONG *bound);
TALVEN_API HRESULT SafeArrayGetUBound(SAFEARRAY *array, UINT dimension, LONG *bound);
TALVEN_API HRESULT SafeArrayAccessData(SAFEARRAY *array, void **data);
TALVEN_API HRESULT SafeArrayUnaccessData(SAFEARRAY *array);

#ifdef __cplusplus
}
#endif

#endif
