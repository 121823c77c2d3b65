/* Talven FTP client: the exported interface for C callers.
 *
 * Every function is exported by its name as written here, from the talvenftp
 * library and from the talven program. On Windows the calling convention is
 * __stdcall and the names are undecorated, so LoadLibrary/GetProcAddress
 * callers (and Declare statements) find them as they stand.
 *
 * Strings are BSTRs holding bytes (the ANSI code page on Windows; no text is
 * converted). String arguments are passed by reference and left unchanged; a
 * NULL pointer or a NULL BSTR stands for the empty string. A string result
 * is a new BSTR that the caller frees with SysFreeString.
 *
 * Results: 1 for success and 0 for failure; ftpConnect returns a session
 * handle or -1. The reason for a failure is the last status, read with
 * FTPGETLASTSTATUSCODE and FTPGETLASTSTATUSMSG: the server's reply that ended
 * the exchange, or a status built for a failure found before the server
 * could answer:
 *   NNN "Unable to open socket"        the control connection could not be
 *                                      opened; NNN is the stream error number
 *                                      (57: host not found, connection
 *                                      refused or unreachable)
 *   005 "Invalid Character In Argument" a name, user name or password held a
 *                                      carriage return, line feed or NUL byte,
 *                                      which would end the command early; the
 *                                      operation sent nothing
 * The last status is one pair for the whole process, shared by all sessions.
 */
#ifndef TALVENFTP_H
#define TALVENFTP_H

#include "talven_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens a session: connects to port 21 of host, reads the greeting, sends
 * USER and, when the server asks for it, PASS. Returns the session handle (a
 * positive number) or -1. The last status is the login reply, or the reason
 * the session could not be opened. */
TALVEN_API int32_t TALVEN_CALL ftpConnect(BSTR *host, BSTR *user, BSTR *password);

/* Sends QUIT, reads the reply into the last status and closes the session. */
TALVEN_API void TALVEN_CALL ftpQuit(int32_t session);

/* The last status: the reply code, and a new string with the reply text. */
TALVEN_API int32_t TALVEN_CALL FTPGETLASTSTATUSCODE(void);
TALVEN_API BSTR TALVEN_CALL FTPGETLASTSTATUSMSG(void);

#ifdef __cplusplus
}
#endif

#endif
