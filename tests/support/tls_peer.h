// What the TLS cases need of the platform: running the scripted TLS server
// (a Python program) and trusting the test CA it made.
#pragma once

#include <string>
#include <vector>

namespace testftp {

// Runs python3 with script and arguments until it ends, its standard error
// to stderrFile where the platform can. Arguments that name existing files
// are given in Python's names for them.
void runPython(const std::string& script, const std::vector<std::string>& arguments, const std::string& stderrFile);
// The client trusts the CA certificate in pemFile from now on: natively
// through SSL_CERT_FILE, under Windows in the user's root store.
void trustTestCa(const std::string& pemFile);
// Empty where the data connections resume the control connection's TLS
// session, else why they cannot.
std::string whyNoTlsResumption();

}  // namespace testftp
