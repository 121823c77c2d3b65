/* The binary interface of Talven's exported functions on Windows: __stdcall,
 * undecorated names, strings as OLE BSTRs holding bytes in the ANSI code page
 * (SysAllocStringByteLen / SysStringByteLen / SysFreeString), string arrays
 * as SAFEARRAYs of BSTR (SafeArrayDestroy frees them with their strings). */
#ifndef TALVEN_ABI_H
#define TALVEN_ABI_H

#include <stdint.h>
#include <windows.h>
#include <oleauto.h>

#define TALVEN_CALL __stdcall
#ifdef TALVEN_BUILDING
#define TALVEN_API __declspec(dllexport)
#else
#define TALVEN_API
#endif

#endif
