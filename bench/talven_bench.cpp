// The benchmark's Talven client: one session on 127.0.0.1 that uploads or
// downloads one file and quits, with the progress on the console as a caller
// with window handle 0 would see it. With TALVEN_BENCH_TLS in the
// environment the session is explicit FTPS (ftpConnectTLS), and the server's
// certificate is checked against the trust store (SSL_CERT_FILE).
//
//   talven-bench PORT put LOCAL REMOTE
//   talven-bench PORT resume LOCAL REMOTE   (ftpResumePutFile)
//   talven-bench PORT get REMOTE LOCAL
//
// Exit status 0 when the server confirmed the transfer with 226, 1 when it
// did not (the last status goes to standard error), 2 for bad arguments.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s PORT put|resume LOCAL REMOTE | PORT get REMOTE LOCAL\n", argv[0]);
        return 2;
    }
    const long port = std::strtol(argv[1], nullptr, 10);
    const std::string_view operation = argv[2];
    if (port <= 0 || port > 65535 || (operation != "put" && operation != "resume" && operation != "get")) {
        std::fprintf(stderr, "%s: bad port or operation\n", argv[0]);
        return 2;
    }
    const auto serverPort = static_cast<std::uint16_t>(port);
    const std::int32_t session =
        std::getenv("TALVEN_BENCH_TLS") != nullptr
            ? talven::ftpConnectTLSToPort("127.0.0.1", serverPort, "anonymous", "", "")
            : talven::ftpConnectToPort("127.0.0.1", serverPort, "anonymous", "");
    if (session == -1) {
        std::fprintf(stderr, "connect: %03d %s\n", talven::ftpLastReplyCode(), talven::ftpLastReplyText().c_str());
        return 1;
    }
    const std::int32_t done = operation == "put"      ? talven::ftpPutFile(session, 0, argv[4], argv[3])
                              : operation == "resume" ? talven::ftpResumePutFile(session, 0, argv[4], argv[3])
                                                      : talven::ftpGetFile(session, 0, argv[3], argv[4]);
    const bool complete = done == 1 && talven::ftpLastReplyCode() == 226;
    if (!complete)
        std::fprintf(stderr, "%s: %03d %s\n", argv[2], talven::ftpLastReplyCode(), talven::ftpLastReplyText().c_str());
    talven::ftpQuit(session);
    return complete ? 0 : 1;
}
