/* Talven FTP client: the exported interface for C callers.
 *
 * Every function is exported by its name as written here, from the talvenftp
 * library and from the talven program. On Windows the calling convention is
 * __stdcall and the names are undecorated, so LoadLibrary/GetProcAddress
 * callers (and Declare statements) find them as they stand.
 *
 * Strings are BSTRs holding bytes (the ANSI code page on Windows; no text is
 * converted). On Windows that is the code page of the calling process: the
 * library keeps it, and the talven program's UTF-8 code page (its manifest)
 * is the program's alone; a program of yours with a UTF-8 manifest passes
 * UTF-8, one without passes the system's ANSI code page, and local file
 * names are opened in that code page. String arguments are passed by reference and left unchanged; a
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
 *   006 "Host Name Too Long"           a host name longer than 255 bytes, which
 *                                      names no host, was given to ftpConnect or
 *                                      ftpConnectTLS; nothing was looked up or
 *                                      sent
 *   091 "Control Connection Timed Out"  a reply (the greeting included) did
 *                                      not arrive whole, up to the line end of
 *                                      its last line, within one wait of the
 *                                      stream (62.9 s), however slowly its
 *                                      bytes came
 *   092 "Control Connection Lost"       the control connection was closed by
 *                                      the server, reset or failed before the
 *                                      reply was whole
 *   093 "Reply Too Long"                the reply took more than 1 MiB
 *   094 "Not Connected"                 the handle names no open session
 *                                      (never opened, or quit)
 *   024 "Data Connection Timed Out"     a transfer's data connection took or
 *                                      gave no byte for a whole wait: the
 *                                      server is taken for hung, and the data
 *                                      connection is broken off
 * and on a session opened with ftpConnectTLS (for its control connection
 * or a data connection):
 *   080 "TLS Handshake Failed"         the server broke off or refused the
 *                                      handshake, offered less than TLS 1.2,
 *                                      or did not answer within the wait
 *   081 "Server Certificate Not Trusted" no chain to a trusted root, or the
 *                                      certificate expired
 *   082 "Server Name Mismatch"         the certificate names another host
 *   083 "Server Fingerprint Mismatch"  not the certificate of the given pin
 *   084 "TLS Not Available"            this build has no TLS
 *   085 "Data Connection Cut Short"    a download's data connection closed
 *                                      without TLS close_notify: the data may
 *                                      be incomplete, the file is not replaced
 *   086 "Unencrypted Data Before TLS Handshake" bytes came in clear past
 *                                      the end of the 234 reply to AUTH TLS (or
 *                                      on a data connection before its
 *                                      handshake): they could be replies
 *                                      injected on the way, so the connection
 *                                      is closed with nothing more sent (no
 *                                      handshake, no USER)
 * and from the functions for programs that embed the library (at the end):
 *   008 "Wait Out Of Range"            a wait below 100 ms or above 1 hour
 *   018 "Transfer Cancelled"           the progress callback cancelled it
 * After 091 to 093, and 024, the session is lost: the client has closed its control
 * connection, since whatever the server sent later would pass for the reply
 * to the next command. Every later operation on that handle fails at once
 * with the same status and sends nothing (ftpQuit too; it ends the session).
 *
 * Each thread has its own last status, as it has its own GetLastError or
 * errno: the getters tell what the calling thread's last operation left,
 * whichever of its sessions that was.
 *
 * Threads: any number of threads may call these functions at once, each with
 * its own sessions. One session is not to be used by two threads at once
 * (nor handed to another thread while a call on it is running). A thread
 * that waits - for a host lookup, a connect that hangs, a slow server - holds
 * up no other thread. Transfers of several threads that show their progress
 * on the console share it: their rows interleave.
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
 * the session could not be opened (an empty host names none: 057 "Unable to
 * open socket"). */
TALVEN_API int32_t TALVEN_CALL ftpConnect(BSTR *host, BSTR *user, BSTR *password);

/* Opens a session over explicit FTPS (RFC 4217): after the greeting AUTH TLS,
 * the TLS handshake (TLS 1.2 at least) and the check of the server's
 * certificate, and only then USER and PASS as ftpConnect sends them, then
 * PBSZ 0 and PROT P. Every later operation takes the handle as for
 * ftpConnect, and its data connections are encrypted too.
 * pin empty: the certificate must chain to the system's trust store and
 * name host. Otherwise pin is the SHA-256 fingerprint of the server's
 * certificate, in hex (colons and case ignored), and only that certificate
 * is accepted: the way to reach a server with a self-signed certificate.
 * Returns the session handle or -1; a refusal of AUTH TLS, PBSZ or PROT, or
 * one of the TLS statuses above, is then the last status. From C:
 *
 *     BSTR host = SysAllocStringByteLen("ftp.example.org", 15), user = ...;
 *     BSTR pin = SysAllocStringByteLen("", 0);
 *     int32_t session = ftpConnectTLS(&host, &user, &password, &pin);
 *
 * From VB/VBA (strings are passed as ANSI byte strings):
 *
 *     Declare Function ftpConnectTLS Lib "talvenftp.dll" (ByRef host As String, _
 *         ByRef user As String, ByRef password As String, ByRef pin As String) As Long
 */
TALVEN_API int32_t TALVEN_CALL ftpConnectTLS(BSTR *host, BSTR *user, BSTR *password, BSTR *pin);

/* Sends QUIT, reads the reply into the last status and closes the session
 * (on TLS, with close_notify). */
TALVEN_API void TALVEN_CALL ftpQuit(int32_t session);

/* The last status: the reply code, and a new string with the reply text. */
TALVEN_API int32_t TALVEN_CALL FTPGETLASTSTATUSCODE(void);
TALVEN_API BSTR TALVEN_CALL FTPGETLASTSTATUSMSG(void);

/* One-command operations. Each sends its command (RNFR and RNTO for a
 * rename) with the name as it stands and reads the whole reply; 1 when the
 * reply has the success code given, else 0. */
TALVEN_API int32_t TALVEN_CALL ftpDeleteFile(int32_t session, BSTR *name);       /* DELE, 250 */
TALVEN_API int32_t TALVEN_CALL FTPMAKEDIR(int32_t session, BSTR *name);          /* MKD, 257 */
TALVEN_API int32_t TALVEN_CALL FTPREMOVEDIR(int32_t session, BSTR *name);        /* RMD, 250 */
/* RNFR (350) then RNTO (250); RNTO is not sent when RNFR is refused. */
TALVEN_API int32_t TALVEN_CALL FTPMOVEORRENAME(int32_t session, BSTR *oldName, BSTR *newName);
/* TYPE A and TYPE I; the reply is recorded, not examined. */
TALVEN_API void TALVEN_CALL ftpSetAscii(int32_t session);
TALVEN_API void TALVEN_CALL ftpSetBinary(int32_t session);
/* PWD: a new string with the name that the 257 reply gives between double
 * quotes, a double quote inside it written twice there and once here; empty
 * for any other reply. */
TALVEN_API BSTR TALVEN_CALL ftpCurDir(int32_t session);
/* CWD with the name's leading and trailing blanks removed; 250. */
TALVEN_API int32_t TALVEN_CALL ftpChangeDir(int32_t session, BSTR *name);

/* Stores the local file localPath on the server as remoteName, in binary
 * mode over a passive data connection, in chunks of 8192 bytes with a
 * progress caption ("sent / size") after each: in the caption of the window
 * whose handle is given when it is greater than 0 (Windows; elsewhere there
 * is no window and the caption is not shown), and the console is left
 * untouched; else on the console from column 14 of the row that starts with
 * the remote name. A server that refuses TYPE I (4xx or 5xx) gets no
 * STOR: the file would go as ASCII text. Returns 1 when the server confirmed the stored file with
 * 226 or 250 (a console row then ends), else 0. Besides the server's replies,
 * the last status may be:
 *   001 "Local File Not Found"     no plain file at localPath; nothing sent
 *   NNN "Local File Access Error"  the file could not be opened (70: in use)
 *   NNN "Local File Read Error"    reading the file failed, or another program
 *                                  changed it while it was being sent (70)
 *   NNN "Data Connection Error"    the data connection failed part-way
 *                                  (24: the server stopped reading)
 * NNN is the error number: 53 file not found, 61 disk full, 64 bad file
 * name, 67 too many open files, 68 invalid drive, 70 access denied or in
 * use, 71 drive not ready, 72 device error, 75 other, 76 path not found;
 * for the data connection 24 time-out, 57 connection failure. */
TALVEN_API int32_t TALVEN_CALL ftpPutFile(int32_t session, int32_t window, BSTR *remoteName, BSTR *localPath);

/* The size of remoteName on the server, in bytes, from SIZE (RFC 3659) after
 * TYPE I: a double, exact up to 2^53, so that Visual Basic can take it as a
 * Double. -1 when the server cannot tell (no such file, no SIZE command, a
 * reply that holds no size); its reply, or the status built for a lost
 * session, is then the last status. */
TALVEN_API double TALVEN_CALL ftpFileSize(int32_t session, BSTR *remoteName);

/* As ftpPutFile, but continues a partial remote file: it asks the file's size
 * (SIZE, after TYPE I); when the server holds n bytes with 0 < n <= the
 * local file's size, it sends REST n and STOR (APPE where the server refuses
 * REST) and the local file from byte n on, and the progress counts from n.
 * An empty remote file gets the whole file under APPE, which, unlike STOR,
 * never empties a file (a server session of an earlier attempt that still
 * waits to store it cannot empty it afterwards). A remote file that is
 * missing, larger than the local one or of a size the server cannot tell
 * gets the whole file under STOR. Result, statuses, waits and the completion
 * rule as for ftpPutFile. */
TALVEN_API int32_t TALVEN_CALL ftpResumePutFile(int32_t session, int32_t window, BSTR *remoteName,
                                                BSTR *localPath);

/* Fetches remoteName from the server into localPath, replacing the file
 * there, in binary mode over a passive data connection. Each chunk is
 * written as it arrives, with a progress caption ("received of announced",
 * the size the server announced in parentheses, or 0) in the caption of the
 * window given when its handle is not 0 (Windows), else from column 1 of
 * the console row. The data goes to a temporary file with a short name in
 * the folder of localPath, held by this process alone, which replaces
 * localPath only once the server has sent all its data: a refused or failed
 * download leaves the old file as it was and no temporary file behind. The
 * new file keeps the old one's permissions (on Windows its attributes and
 * security), and its owner and group where the process may set them. Where
 * localPath is a symbolic link (POSIX), the file it names is replaced and the
 * link stays; other hard links to the old file keep the old contents.
 * Returns 1 when the server closed the data connection (not a wait that ran
 * out, nor a reset) and confirmed the transfer with 226 or 250; the last
 * status is then that reply. Otherwise 0, with the server's reply (426 or
 * 451 for a transfer it broke off) as the last status, or besides those:
 *   NNN "Local File Can't be deleted"  the file at localPath cannot be
 *                                      replaced (70: read-only or in use)
 *   NNN "Local File Open Error"        the file cannot be created (76: no
 *                                      such directory; 70: localPath is a
 *                                      directory, or no access; 64: an empty
 *                                      path or one holding a NUL byte, with
 *                                      nothing sent)
 *   NNN "Local File Write Error"       writing failed (61: disk full)
 *   NNN "Data Connection Error"        the server confirmed the transfer,
 *                                      but its data connection ended by a
 *                                      reset (57) or a wait that ran out (24)
 * with the error numbers listed for ftpPutFile. */
TALVEN_API int32_t TALVEN_CALL ftpGetFile(int32_t session, int32_t window, BSTR *remoteName, BSTR *localPath);

/* Directory listings of the session's current directory (LIST, ASCII mode).
 *
 * The lines come back in a one-dimensional SAFEARRAY of BSTR with lower
 * bound 0 that the function creates: element 0 is always the empty string,
 * the listing's lines follow in elements 1 to n, each as the server sent it
 * without its line end, and n is the result. Pass the address of a SAFEARRAY
 * pointer holding NULL or an array from an earlier call (a Visual Basic
 * caller passes its dynamic String array by reference): an array that is
 * there is destroyed first. The caller frees the result with
 * SafeArrayDestroy, which frees its strings too. A C caller reads it so:
 *
 *     SAFEARRAY *lines = NULL;
 *     int32_t n = ftpGetList(session, &lines);
 *     BSTR *line;
 *     SafeArrayAccessData(lines, (void **)&line);
 *     for (int32_t i = 1; i <= n; ++i) use(line[i], SysStringByteLen(line[i]));
 *     SafeArrayUnaccessData(lines);
 *     SafeArrayDestroy(lines);
 *
 * The listing ends at the first empty or all-blank line or at the end of the
 * data; it may hold at most 64 MiB of lines (each counted with every byte
 * read for it, carriage returns and line end included, and a few bytes of
 * bookkeeping).
 * An array passed in that cannot be destroyed (locked, or flagged fixed-size,
 * static, automatic or embedded) is left alone: the result is 0 and the last
 * status 010 "Line List Is Fixed Or Locked". When memory for the new array
 * runs out, the result is 0, *lines is NULL and the last status 007 "Out Of
 * Memory". A NULL pointer in place of the array's address gives 0 and the
 * last status 011 "No Line List", with nothing sent.
 * The lines count only when the server closed the data connection (not a
 * wait that ran out, nor a reset) and confirmed the listing with 226 or 250;
 * the last status is then that reply. Otherwise the result is 0, the array
 * holds element 0 alone, and the last status is the reason: the reply to
 * LIST when it was not 125 or 150, the completion reply (426 or 451 for a
 * listing the server broke off), 057 "Data Connection Error" (the server
 * confirmed a listing whose data connection was reset), 024 "Data Connection
 * Timed Out" (the session is lost), 012 "Listing Too Long" (cut after 64
 * MiB), 013 "Listing Line Too Long" (a line longer than 64 KiB, which no
 * file system's entry needs: never returned in pieces), the reason no data connection could be opened, or that of a session
 * lost while the listing was read. After any reply of the server the session
 * goes on as before. */
TALVEN_API int32_t TALVEN_CALL ftpGetList(int32_t session, SAFEARRAY **lines);
/* The lines of the listing that begin with "-" (plain files). */
TALVEN_API int32_t TALVEN_CALL ftpGetFileList(int32_t session, SAFEARRAY **lines);
/* The lines of the listing that begin with "d" or "D" (directories). */
TALVEN_API int32_t TALVEN_CALL ftpGetDirList(int32_t session, SAFEARRAY **lines);

/* For programs that embed the library: the wait, a trace of the control
 * connection, progress and cancel. A session keeps these settings until it
 * ends; the callbacks are called on the thread that is running an operation
 * on the session, in the middle of it, and must not call the library for
 * that session. Each setter returns 1, or 0 with the reason as the last
 * status (094 for a handle that names no open session, or a lost session's
 * status); a success leaves the last status as it was.
 *
 * The wait, in milliseconds from 100 to 3,600,000 (one hour), or 0 for the
 * built-in 62.9 s (anything else gives 0 and 008 "Wait Out Of Range"): how
 * long the session waits for the server at each step - a reply in all, the
 * TLS handshake, each stretch in which a data connection takes or gives
 * nothing, the connect of a data connection. ftpSetTimeout sets it for one
 * open session (its control connection from now on, and every data
 * connection it opens); ftpSetDefaultTimeout for the sessions that the
 * calling thread opens from now on, so that their connect, greeting and
 * login are bounded too. Other threads and sessions keep their own. */
TALVEN_API int32_t TALVEN_CALL ftpSetTimeout(int32_t session, int32_t milliseconds);
TALVEN_API int32_t TALVEN_CALL ftpSetDefaultTimeout(int32_t milliseconds);

/* The trace: the callback gets every line of the control connection, in
 * order, as sent or received, without its line end: bytes points at length
 * bytes, valid during the call only, not NUL-terminated. PASS is traced as
 * "PASS ****", never with the password. Notes tell what happened between the
 * lines: "TLS established, TLS 1.3" on the control connection, "Data
 * connection TLS established, TLS 1.3, resumed" (or without ", resumed"),
 * "Session lost: 091 Control Connection Timed Out" (any of the statuses
 * that lose a session).
 * ftpSetTraceCallback turns it on (or, with NULL, off) for one open session;
 * ftpSetDefaultTraceCallback for the sessions that the calling thread opens
 * from now on, from the greeting on (during ftpConnect the callback gets the
 * handle the session will have). Without a callback the trace costs nothing.
 * From C:
 *
 *     static void TALVEN_CALL
 *     show(int32_t session, int32_t direction, const char *bytes, int32_t length) {
 *         printf("%d %s %.*s\n", session, direction == FTP_TRACE_SENT ? ">" : "<", (int)length, bytes);
 *     }
 *     ftpSetDefaultTraceCallback(show);
 */
#define FTP_TRACE_SENT 1
#define FTP_TRACE_RECEIVED 2
#define FTP_TRACE_NOTE 3
typedef void(TALVEN_CALL *FtpTraceCallback)(int32_t session, int32_t direction, const char *bytes, int32_t length);
TALVEN_API int32_t TALVEN_CALL ftpSetTraceCallback(int32_t session, FtpTraceCallback trace);
TALVEN_API void TALVEN_CALL ftpSetDefaultTraceCallback(FtpTraceCallback trace);

/* Progress and cancel for ftpPutFile and ftpGetFile on the session: the
 * callback gets the bytes moved so far and the bytes in all (-1 when the
 * server did not announce a download's size), at most every 100 ms while
 * the transfer runs and once when all the data has gone (or come). With a
 * callback set the transfer draws no caption in a window and writes nothing
 * on the console. A non-zero result cancels the transfer at once: the data
 * connection is broken off, the server's reply to the broken transfer is
 * read (the session goes on when it comes within the wait), and the
 * transfer returns 0 with the last status 018 "Transfer Cancelled". A
 * cancelled download leaves the old file as it was; of a cancelled upload
 * the server may keep what it received. NULL turns the callback off. */
typedef int32_t(TALVEN_CALL *FtpProgressCallback)(int32_t session, double done, double total);
TALVEN_API int32_t TALVEN_CALL ftpSetProgressCallback(int32_t session, FtpProgressCallback progress);

#ifdef __cplusplus
}
#endif

#endif
