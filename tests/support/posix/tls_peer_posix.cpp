#include "tls_peer.h"

#include <cstdlib>

namespace testftp {

void runPython(const std::string& script, const std::vector<std::string>& arguments, const std::string& stderrFile) {
    std::string command = "python3 '" + script + "'";
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    command += " 2>'" + stderrFile + "'";
    std::system(command.c_str());
}

void trustTestCa(const std::string& pemFile) { setenv("SSL_CERT_FILE", pemFile.c_str(), 1); }

std::string whyNoTlsResumption() { return {}; }

}  // namespace testftp
