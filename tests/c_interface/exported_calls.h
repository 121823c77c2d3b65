/* Wrappers that call the exported interface from C, for the C++ tests. */
#ifndef EXPORTED_CALLS_H
#define EXPORTED_CALLS_H

#include <stddef.h>
#include <stdint.h>

#include "talven_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

enum CListing { C_ALL, C_FILES, C_DIRS };

int32_t cConnect(const char *host, const char *user, const char *password);
int32_t cConnectTLS(const char *host, const char *user, const char *password, const char *pin);
int32_t cStatus(char *text, size_t capacity);
int32_t cPutFile(int32_t session, const char *remoteName, const char *localPath);
int32_t cResumePutFile(int32_t session, const char *remoteName, const char *localPath);
double cFileSize(int32_t session, const char *remoteName);
int32_t cGetFile(int32_t session, const char *remoteName, const char *localPath);
int32_t cRename(int32_t session, const char *oldName, const char *newName);
int32_t cDeleteFile(int32_t session, const char *name);
int32_t cMakeDir(int32_t session, const char *name);
int32_t cRemoveDir(int32_t session, const char *name);
int32_t cChangeDir(int32_t session, const char *name);
int32_t cCurDir(int32_t session, char *name, size_t capacity);
int32_t cList(int32_t session, enum CListing which, SAFEARRAY **lines, char *joined, size_t capacity);

/* A trace callback written in C, for the sessions the thread opens next or
 * for one session; cTakeTrace gives what it recorded so far and starts anew:
 * "> " sent, "< " received, "* " a note, each line ended by a line feed. */
void cTraceNextSessions(int on);
int32_t cTrace(int32_t session, int on);
size_t cTakeTrace(char *text, size_t capacity);
/* A progress callback written in C that cancels the transfer once done
 * reaches cancelAtBytes (negative: never); cProgressSeen gives how often it
 * was called and with what last. */
int32_t cProgress(int32_t session, int on, double cancelAtBytes);
int32_t cProgressSeen(double *done, double *total);

#ifdef __cplusplus
}
#endif

#endif
