// Puts the test CA in the user's root store of the Wine prefix, for the
// talven program built with TLS to trust: trust_test_ca CA.PEM
#include "tls_peer.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    testftp::trustTestCa(argv[1]);
    return 0;
}
