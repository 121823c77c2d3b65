#include "client.h"
#include "stream.h"

namespace talven {
namespace {

bool blank(std::string_view line) { return line.find_first_not_of(' ') == std::string_view::npos; }

bool isFileLine(const std::string& line) { return !line.empty() && line[0] == '-'; }

bool isDirectoryLine(const std::string& line) { return !line.empty() && (line[0] == 'd' || line[0] == 'D'); }

// How reading a listing ended: dataError is the error number of a failed
// read (24: the wait ran out), else 0; cut, when not null, the bound it
// was cut at.
struct ListingEnd {
    std::int32_t dataError = 0;
    const BuiltStatus* cut = nullptr;
};

// Reads listing lines up to an empty or all-blank line, the end of the data,
// a failed read, kListingSizeLimit bytes in all, or a line longer than the
// line capacity: its pieces are no lines, and one of them could pass a
// filter as a file or folder of its own.
ListingEnd readListing(std::int32_t data, std::vector<std::string>& lines) {
    std::size_t total = 0;
    errorNumber = 0;
    for (;;) {
        std::string line = StreamReadLine(data);
        if (errorNumber != 0) return ListingEnd{errorNumber};
        const LineTaken taken = StreamLastLine(data);
        if (taken.cut) return ListingEnd{0, &kListingLineTooLong};
        // The wait ran out in the middle of a line: a stall like any other,
        // and what came of the line is no line.
        if (!taken.ended && !StreamEnded(data)) return ListingEnd{kWaitRanOut};
        if (blank(line)) return ListingEnd{};
        // Every byte read counts, dropped CRs too, and so does the memory
        // that each kept line takes.
        total += taken.bytes + sizeof(std::string);
        if (total > kListingSizeLimit) return ListingEnd{0, &kListingTooLong};
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

// The lines count only when the data connection ended cleanly and the server
// confirmed the listing: a listing broken off holds fewer lines than there are.
std::int32_t ftpGetList(std::int32_t session, std::vector<std::string>& lines) {
    lines.assign(1, std::string());
    if (ftpSessionLost(session)) return 0;
    const std::int32_t data = ftpOpenDataChannelOfType(session, ftpSetAscii);
    if (data == -1) return 0;  // the last status already holds the reason
    if (ftpStartTransfer(session, data, "LIST").empty()) return 0;
    const ListingEnd end = readListing(data, lines);
    const std::string completion = ftpFinishReceiving(session, data, end.dataError, true);
    if (completion.empty() || end.cut != nullptr) {
        lines.assign(1, std::string());
        // The reply to a listing cut here belongs to it; the cut is the reason.
        if (end.cut != nullptr) ftpRecordBuiltStatus(end.cut->number, end.cut->text);
        return 0;
    }
    ftpRecordReply(completion);
    return highestElement(lines);
}

std::int32_t ftpGetFileList(std::int32_t session, std::vector<std::string>& lines) {
    return filteredList(session, lines, isFileLine);
}

std::int32_t ftpGetDirList(std::int32_t session, std::vector<std::string>& lines) {
    return filteredList(session, lines, isDirectoryLine);
}

}  // namespace talven
