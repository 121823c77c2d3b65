/* A program of a library user, built against the installed library only:
 * uploads a file to the FTP server on 127.0.0.1 as anonymous, finds it in
 * the listing, downloads it again and compares.
 * Usage: consumer REMOTE_NAME; exit status 0 when every step succeeded. */
#include <stdio.h>
#include <string.h>

#include <talvenftp.h>

static int fail(const char *step) {
    BSTR text = FTPGETLASTSTATUSMSG();
    fprintf(stderr, "consumer: %s failed: %d %s\n", step, FTPGETLASTSTATUSCODE(), text ? text : "");
    SysFreeString(text);
    return 1;
}

static BSTR string(const char *bytes) { return SysAllocStringByteLen(bytes, (UINT)strlen(bytes)); }

static int listed(int32_t session, const char *name) {
    SAFEARRAY *lines = NULL;
    int32_t count = ftpGetFileList(session, &lines);
    BSTR *line = NULL;
    int found = 0;
    if (lines == NULL || SafeArrayAccessData(lines, (void **)&line) != S_OK) return 0;
    for (int32_t i = 1; i <= count; ++i) {
        size_t length = SysStringByteLen(line[i]), n = strlen(name);
        found |= length > n && line[i][length - n - 1] == ' ' && memcmp(line[i] + length - n, name, n) == 0;
    }
    SafeArrayUnaccessData(lines);
    SafeArrayDestroy(lines);
    return found;
}

static int sameFiles(const char *a, const char *b) {
    FILE *x = fopen(a, "rb"), *y = fopen(b, "rb");
    int same = x != NULL && y != NULL, c = 0, d = 0;
    while (same && (c = fgetc(x)) == (d = fgetc(y)) && c != EOF) {}
    same = same && c == EOF && d == EOF;
    if (x) fclose(x);
    if (y) fclose(y);
    return same;
}

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    const char *sent = "consumer-sent.bin", *back = "consumer-back.bin";
    FILE *file = fopen(sent, "wb");
    for (int i = 0; file != NULL && i < 100000; ++i) fputc(i * 7 % 251, file);
    if (file == NULL || fclose(file) != 0) return 2;

    BSTR host = string("127.0.0.1"), user = string("anonymous"), remote = string(argv[1]);
    BSTR local = string(sent), copy = string(back);
    int32_t session = ftpConnect(&host, &user, NULL);
    int status = session < 0             ? fail("ftpConnect")
                 : !ftpPutFile(session, 0, &remote, &local) ? fail("ftpPutFile")
                 : !listed(session, argv[1])               ? fail("ftpGetFileList")
                 : !ftpGetFile(session, 0, &remote, &copy) ? fail("ftpGetFile")
                 : !sameFiles(sent, back)                  ? fail("comparing the downloaded file")
                 : !ftpDeleteFile(session, &remote)        ? fail("ftpDeleteFile")
                                                           : 0;
    if (session >= 0) ftpQuit(session);
    SysFreeString(host);
    SysFreeString(user);
    SysFreeString(remote);
    SysFreeString(local);
    SysFreeString(copy);
    remove(sent);
    remove(back);
    if (status == 0) printf("\nconsumer: %s sent, listed, fetched back and deleted\n", argv[1]);
    return status;
}
