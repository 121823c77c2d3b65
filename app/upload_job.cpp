#include "upload_job.h"

#include <algorithm>
#include <cstdint>
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
constexpr std::string_view kPassword = TALVEN_PASSWORD;
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

// What follows a failed attempt, decided by the step that failed.
enum class NextStep { rename, resume, giveUp };

// Only the server's refusal of STOR, or of the finished transfer, may depend
// on the name: a refusal of TYPE, PASV or EPSV would come again under any
// name, and so would a local file that is missing, unreadable or changing.
// A connection lost after the server had accepted STOR is taken up again on
// a new session; lost before, there is nothing of this run's to continue,
// unless an earlier attempt's STOR had been accepted under the name: a
// server that has not yet noticed the old connection's loss may hold the
// file a while, and the next session may lose its wait at any step.
NextStep afterFailedAttempt(bool resuming) {
    const std::int32_t code = ::FTPGETLASTSTATUSCODE();
    const bool refused = code >= 400 && code <= 599;
    const UploadStep step = ftpLastUploadStep();
    if (resuming && !refused && (step == UploadStep::preparing || step == UploadStep::storeCommand))
        return NextStep::resume;
    switch (step) {
        case UploadStep::storeCommand: return refused ? NextStep::rename : NextStep::giveUp;
        case UploadStep::completion: return refused ? NextStep::rename : NextStep::resume;
        case UploadStep::data: return NextStep::resume;
        default: return NextStep::giveUp;
    }
}

std::uint32_t firstReconnectPause = 2000;
std::uint32_t longestReconnectPause = 30000;

// 2 s before the first reconnect, doubling up to 30 s: a link that drops for
// a moment is back soon, one that is down for longer is not hammered.
std::uint32_t reconnectPause(int reconnect) {
    std::uint64_t pause = firstReconnectPause;
    for (int i = 1; i < reconnect && pause < longestReconnectPause; ++i) pause *= 2;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(pause, longestReconnectPause));
}

std::int32_t logIn() {
    OleString host(kServerHost);
    OleString account(kAccount);
    OleString password(kPassword);
    return logIn(host.get(), account.get(), password.get());
}

// Ends the session that failed and opens a new one, pausing before each
// try; false once the bound of reconnects is spent.
bool reconnect(std::int32_t& session, int& reconnects) {
    ::ftpQuit(session);
    session = -1;
    while (session < 0 && reconnects < kMaxReconnects) {
        ++reconnects;
        os::pauseMilliseconds(reconnectPause(reconnects));
        session = logIn();
    }
    return session >= 0;
}

// The local file's size now; -1 when it cannot be read.
std::int64_t localFileSize(const std::string& path) {
    os::FileHandle handle{};
    if (os::openForReading(path, handle) != 0) return -1;
    os::FileIdentity identity{};
    const std::int32_t error = os::fileIdentity(handle, identity);
    os::closeFile(handle);
    return error == 0 ? identity.size : -1;
}

// After a lost connection: the server holds every byte when its file under
// the name this run was storing is as large as the local one; then it is
// stored, and nothing is sent again.
bool serverHoldsAll(std::int32_t session, BSTR* remote, const std::string& localPath) {
    const double held = ::ftpFileSize(session, remote);
    const std::int64_t local = localFileSize(localPath);
    return local >= 0 && held == static_cast<double>(local);
}

bool putWithRenames(std::int32_t& session, const std::string& localPath, RandomStems& stems) {
    FileNameParts name = splitFileName(localPath);
    OleString path(localPath);
    std::string remoteName = name.stem + name.suffix;
    bool resuming = false;
    int reconnects = 0;
    for (int attempt = 1;;) {
        OleString remote(remoteName);
        if (resuming && serverHoldsAll(session, remote.get(), localPath)) return true;
        const auto put = resuming ? &::ftpResumePutFile : &::ftpPutFile;
        if (put(session, 0, remote.get(), path.get()) != 0) return true;
        endFailedAttemptRow();
        switch (afterFailedAttempt(resuming)) {
            case NextStep::rename:
                if (++attempt > kMaxAttempts) return false;
                remoteName = std::to_string(stems.next()) + name.suffix;
                resuming = false;
                break;
            case NextStep::resume:
                if (!reconnect(session, reconnects)) return false;
                resuming = true;
                break;
            case NextStep::giveUp: return false;
        }
    }
}

std::string describeOutcome(const std::string& localPath, bool sent) {
    if (sent) return "Fitxer " + localPath + " enviat correctament";
    return "No s'ha pogut enviar el fitxer " + localPath;
}

// Each file in turn on the one session, each with its own rows and renames;
// the message holds one line per file, in the order given.
std::string uploadAndDescribe(const std::vector<std::string>& localPaths, RandomStems& stems) {
    std::int32_t session = logIn();
    if (session < 0) return "No s'ha pogut connectar amb " + std::string(kServerHost);
    std::string message;
    for (const std::string& localPath : localPaths) {
        const bool sent = putWithRenames(session, localPath, stems);
        if (!message.empty()) message += '\n';
        message += describeOutcome(localPath, sent);
    }
    if (session >= 0) ::ftpQuit(session);
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

void setReconnectPausesForTests(std::uint32_t firstMilliseconds, std::uint32_t longestMilliseconds) {
    firstReconnectPause = firstMilliseconds;
    longestReconnectPause = longestMilliseconds;
}

int main() {
    splitCommandLine();
    RandomStems stems = RandomStems::seededWithMilliseconds(os::localMillisecondsOfDay());
    showResultPopup(uploadAndDescribe(filesToSend(), stems));
    return 0;
}

}  // namespace talven::app
