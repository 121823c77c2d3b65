/* Calls the exported interface from C, the way a C program would, so that
 * the header is checked as C and the documented usage is exercised. */
#include <string.h>

#include "exported_calls.h"
#include "talvenftp.h"

static BSTR newString(const char *text) { return SysAllocStringByteLen(text, (unsigned int)strlen(text)); }

int32_t cConnect(const char *host, const char *user, const char *password) {
    BSTR hostString = newString(host), userString = newString(user), passwordString = newString(password);
    int32_t session = ftpConnect(&hostString, &userString, &passwordString);
    SysFreeString(hostString);
    SysFreeString(userString);
    SysFreeString(passwordString);
    return session;
}

int32_t cConnectTLS(const char *host, const char *user, const char *password, const char *pin) {
    BSTR hostString = newString(host), userString = newString(user), passwordString = newString(password);
    BSTR pinString = newString(pin);
    int32_t session = ftpConnectTLS(&hostString, &userString, &passwordString, &pinString);
    SysFreeString(hostString);
    SysFreeString(userString);
    SysFreeString(passwordString);
    SysFreeString(pinString);
    return session;
}

int32_t cStatus(char *text, size_t capacity) {
    BSTR message = FTPGETLASTSTATUSMSG();
    size_t length = SysStringByteLen(message);
    if (length >= capacity) length = capacity - 1;
    memcpy(text, message, length);
    text[length] = '\0';
    SysFreeString(message);
    return FTPGETLASTSTATUSCODE();
}

/* ftpPutFile and ftpResumePutFile take the same arguments. */
typedef int32_t(TALVEN_CALL *PutFunction)(int32_t, int32_t, BSTR *, BSTR *);

static int32_t putWith(PutFunction put, int32_t session, const char *remoteName, const char *localPath) {
    BSTR remote = newString(remoteName), local = newString(localPath);
    int32_t result = put(session, 1, &remote, &local);
    SysFreeString(remote);
    SysFreeString(local);
    return result;
}

int32_t cPutFile(int32_t session, const char *remoteName, const char *localPath) {
    return putWith(ftpPutFile, session, remoteName, localPath);
}

int32_t cResumePutFile(int32_t session, const char *remoteName, const char *localPath) {
    return putWith(ftpResumePutFile, session, remoteName, localPath);
}

double cFileSize(int32_t session, const char *remoteName) {
    BSTR remote = newString(remoteName);
    double size = ftpFileSize(session, &remote);
    SysFreeString(remote);
    return size;
}

int32_t cGetFile(int32_t session, const char *remoteName, const char *localPath) {
    BSTR remote = newString(remoteName), local = newString(localPath);
    int32_t result = ftpGetFile(session, 1, &remote, &local);
    SysFreeString(remote);
    SysFreeString(local);
    return result;
}

int32_t cRename(int32_t session, const char *oldName, const char *newName) {
    BSTR from = newString(oldName), to = newString(newName);
    int32_t result = FTPMOVEORRENAME(session, &from, &to);
    SysFreeString(from);
    SysFreeString(to);
    return result;
}

typedef int32_t(TALVEN_CALL *NameCommand)(int32_t session, BSTR *name);

static int32_t withName(NameCommand command, int32_t session, const char *name) {
    BSTR nameString = newString(name);
    int32_t result = command(session, &nameString);
    SysFreeString(nameString);
    return result;
}

int32_t cDeleteFile(int32_t session, const char *name) { return withName(ftpDeleteFile, session, name); }
int32_t cMakeDir(int32_t session, const char *name) { return withName(FTPMAKEDIR, session, name); }
int32_t cRemoveDir(int32_t session, const char *name) { return withName(FTPREMOVEDIR, session, name); }
int32_t cChangeDir(int32_t session, const char *name) { return withName(ftpChangeDir, session, name); }

int32_t cCurDir(int32_t session, char *name, size_t capacity) {
    BSTR directory = ftpCurDir(session);
    size_t length = SysStringByteLen(directory);
    if (length >= capacity) length = capacity - 1;
    memcpy(name, directory, length);
    name[length] = '\0';
    SysFreeString(directory);
    return (int32_t)length;
}

/* Joins the lines a listing returns, each followed by a line feed. The same
 * array is passed back in on every call, as a Visual Basic caller would. */
int32_t cList(int32_t session, enum CListing which, SAFEARRAY **lines, char *joined, size_t capacity) {
    int32_t highest = which == C_FILES  ? ftpGetFileList(session, lines)
                      : which == C_DIRS ? ftpGetDirList(session, lines)
                                        : ftpGetList(session, lines);
    LONG lower = -1, upper = -1;
    BSTR *line = NULL;
    size_t used = 0;
    joined[0] = '\0';
    if (*lines == NULL || SafeArrayGetLBound(*lines, 1, &lower) != S_OK || SafeArrayGetUBound(*lines, 1, &upper) != S_OK)
        return -1;
    if (lower != 0 || upper != highest || SysStringByteLen(((BSTR *)(*lines)->pvData)[0]) != 0) return -1;
    SafeArrayAccessData(*lines, (void **)&line);
    for (int32_t i = 1; i <= highest; ++i) {
        size_t length = SysStringByteLen(line[i]);
        if (used + length + 2 > capacity) break;
        memcpy(joined + used, line[i], length);
        used += length;
        joined[used++] = '\n';
        joined[used] = '\0';
    }
    SafeArrayUnaccessData(*lines);
    return highest;
}

/* The trace callback: each line as "> line", "< line" or "* note", one per
 * row, appended to the record that cTakeTrace hands out. */
static char traced[1 << 16];
static size_t tracedUsed;

static void TALVEN_CALL traceLine(int32_t session, int32_t direction, const char *bytes, int32_t length) {
    const char *mark = direction == FTP_TRACE_SENT ? "> " : direction == FTP_TRACE_RECEIVED ? "< " : "* ";
    (void)session;
    if (tracedUsed + (size_t)length + 4 > sizeof traced) return;
    memcpy(traced + tracedUsed, mark, 2);
    memcpy(traced + tracedUsed + 2, bytes, (size_t)length);
    tracedUsed += (size_t)length + 2;
    traced[tracedUsed++] = '\n';
}

void cTraceNextSessions(int on) { ftpSetDefaultTraceCallback(on ? traceLine : NULL); }
int32_t cTrace(int32_t session, int on) { return ftpSetTraceCallback(session, on ? traceLine : NULL); }

size_t cTakeTrace(char *text, size_t capacity) {
    size_t length = tracedUsed < capacity ? tracedUsed : capacity - 1;
    memcpy(text, traced, length);
    text[length] = '\0';
    tracedUsed = 0;
    return length;
}

/* The progress callback: cancels once done reaches cancelAt bytes (never
 * when it is negative). */
static double cancelAt = -1, lastDone = -2, lastTotal = -2;
static int32_t progressCalls;

static int32_t TALVEN_CALL progressAt(int32_t session, double done, double total) {
    (void)session;
    ++progressCalls;
    lastDone = done;
    lastTotal = total;
    return cancelAt >= 0 && done >= cancelAt ? 1 : 0;
}

int32_t cProgress(int32_t session, int on, double cancelAtBytes) {
    cancelAt = cancelAtBytes;
    progressCalls = 0;
    lastDone = lastTotal = -2;
    return ftpSetProgressCallback(session, on ? progressAt : NULL);
}

int32_t cProgressSeen(double *done, double *total) {
    *done = lastDone;
    *total = lastTotal;
    return progressCalls;
}
