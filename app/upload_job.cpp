#include "upload_job.h"

#include <string>
#include <vector>

#include "client.h"
#include "command_line.h"
#include "file_name.h"
#include "ole_string.h"
#include "os.h"
#include "random_stems.h"
#include "result_popup.h"
#include "talvenftp.h"

namespace talven::app {

// The client is driven through its exported C functions (::ftpConnect and
// the rest), as any other caller of the interface would.
namespace {

constexpr std::string_view kServerHost = TALVEN_SERVER_HOST;
constexpr std::string_view kAccount = TALVEN_ACCOUNT;
constexpr bool kUseTls = TALVEN_TLS;
constexpr std::string_view kTlsPin = TALVEN_TLS_PIN;

// A TLS failure counts as any other failed connection.
std::int32_t logIn(BSTR* host, BSTR* account, BSTR* password) {
    if (!kUseTls) return ::ftpConnect(host, account, password);
    OleString pin(kTlsPin);
    return ::ftpConnectTLS(host, account, password, pin.get());
}

// Ends the attempt's console row, after the remote name and any progress.
void endFailedAttemptRow() {
    os::consoleWrite(ftpStatusText(::FTPGETLASTSTATUSCODE()));
    os::consoleWrite(os::consoleLineEnd());
}

// Only a refusal by the server (of STOR, or of the finished transfer) may
// depend on the name. A local file that is missing, unreadable or changing,
// and a session that is lost, would fail the same way under any name.
bool newNameMayCure(std::int32_t lastCode) { return lastCode >= 400 && lastCode <= 599; }

bool putWithRenames(std::int32_t session, const std::string& localPath, RandomStems& stems) {
    FileNameParts name = splitFileName(localPath);
    OleString path(localPath);
    std::string remoteName = name.stem + name.suffix;
    for (int attempt = 1;; ++attempt) {
        OleString remote(remoteName);
        if (::ftpPutFile(session, 0, remote.get(), path.get()) != 0) return true;
        endFailedAttemptRow();
        if (attempt == kMaxAttempts || !newNameMayCure(::FTPGETLASTSTATUSCODE())) return false;
        remoteName = std::to_string(stems.next()) + name.suffix;
    }
}

std::string describeOutcome(const std::string& localPath, bool sent) {
    if (sent) return "Fitxer " + localPath + " enviat correctament";
    return "No s'ha pogut enviar el fitxer " + localPath;
}

// Each file in turn on the one session, each with its own rows and renames;
// the message holds one line per file, in the order given.
std::string uploadAndDescribe(const std::vector<std::string>& localPaths, RandomStems& stems) {
    OleString host(kServerHost);
    OleString account(kAccount);
    OleString password("");
    std::int32_t session = logIn(host.get(), account.get(), password.get());
    if (session < 0) return "No s'ha pogut connectar amb " + std::string(kServerHost);
    std::string message;
    for (const std::string& localPath : localPaths) {
        const bool sent = putWithRenames(session, localPath, stems);
        if (!message.empty()) message += '\n';
        message += describeOutcome(localPath, sent);
    }
    ::ftpQuit(session);
    return message;
}

// Every file the command line names (Explorer's Send To names every selected
// one); with none, the empty first argument, which fails as a missing file.
std::vector<std::string> filesToSend() {
    std::vector<std::string> files = allArguments();
    if (files.empty()) files.push_back(arguments().entry(1));
    return files;
}

}  // namespace

int main() {
    splitCommandLine();
    RandomStems stems = RandomStems::seededWithMilliseconds(os::localMillisecondsOfDay());
    showResultPopup(uploadAndDescribe(filesToSend(), stems));
    return 0;
}

}  // namespace talven::app
