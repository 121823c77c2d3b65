#include "client.h"
#include "stream.h"

namespace talven {
namespace {

bool blank(std::string_view line) { return line.find_first_not_of(' ') == std::string_view::npos; }

bool isFileLine(const std::string& line) { return !line.empty() && line[0] == '-'; }

bool isDirectoryLine(const std::string& line) { return !line.empty() && (line[0] == 'd' || line[0] == 'D'); }

// Reads listing lines up to an empty or all-blank line, the end of the data,
// a failed read, or kListingSizeLimit bytes in all.
void readListing(std::int32_t data, std::vector<std::string>& lines) {
    std::size_t total = 0;
    for (;;) {
        std::string line = StreamReadLine(data);
        if (blank(line) || errorNumber != 0) return;
        // Every byte read counts, dropped CRs too, and so does the memory
        // that each kept line takes.
        total += StreamLastLine(data).bytes + sizeof(std::string);
        if (total > kListingSizeLimit) return;
        lines.push_back(std::move(line));
    }
}

std::int32_t highestElement(const std::vector<std::string>& lines) { return static_cast<std::int32_t>(lines.size()) - 1; }

std::int32_t filteredList(std::int32_t session, std::vector<std::string>& lines, bool (*keep)(const std::string&)) {
    lines.assign(1, std::string());
    std::vector<std::string> all;
    ftpGetList(session, all);
    for (std::size_t i = 1; i < all.size(); ++i)
        if (keep(all[i])) lines.push_back(std::move(all[i]));
    return highestElement(lines);
}

}  // namespace

std::int32_t ftpGetList(std::int32_t session, std::vector<std::string>& lines) {
    lines.assign(1, std::string());
    if (ftpSessionLost(session)) return 0;
    const std::int32_t data = ftpOpenDataChannel(session);
    if (data == -1) return 0;  // the last status already holds the reason
    ftpSetAscii(session);
    if (ftpSessionLost(session)) {
        StreamClose(data);
        return 0;
    }
    errorNumber = 0;
    if (ftpStartTransfer(session, data, "LIST").empty()) return 0;
    readListing(data, lines);
    if (StreamEnded(data)) StreamCloseNotify(data);  // on TLS, the answer to the server's
    // Closing ends the transfer of a server that sends more than is read (a
    // listing cut short); and some servers (proftpd) confirm even a finished
    // transfer only once the client has closed its side.
    StreamClose(data);
    ftpRecordReply(ftpReadReply(session));
    if (ftpSessionLost(session)) lines.assign(1, std::string());
    return highestElement(lines);
}

std::int32_t ftpGetFileList(std::int32_t session, std::vector<std::string>& lines) {
    return filteredList(session, lines, isFileLine);
}

std::int32_t ftpGetDirList(std::int32_t session, std::vector<std::string>& lines) {
    return filteredList(session, lines, isDirectoryLine);
}

}  // namespace talven
