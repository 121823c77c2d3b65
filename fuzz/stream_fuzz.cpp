// StreamReadLine and StreamReceive, in any order and with any counts, on a
// loopback connection whose peer sends the fuzzed bytes and closes. Every
// call must hand out exactly the bytes next in line: a receive the raw bytes,
// a line the bytes up to LF (or up to the line capacity) without their CRs.
//
// Input: byte 0 gives the number of calls in the schedule (1 to 8); each
// call takes 3 bytes: a kind (bit 0: receive, else line; bit 1: a negative
// count) and a 16-bit count. The schedule repeats until every byte is taken.
// The rest of the input is what the peer sends.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "loopback_peer.h"

namespace {

using fuzzing::require;

struct Call {
    bool receive;
    std::int32_t count;
};

struct Input {
    std::vector<Call> schedule;
    std::string_view bytes;
};

Input parse(const std::uint8_t* data, std::size_t size) {
    Input input;
    if (size == 0) return input;
    const std::size_t calls = data[0] % 8 + 1;
    std::size_t at = 1;
    for (std::size_t i = 0; i < calls && at + 3 <= size; ++i, at += 3) {
        const bool negative = (data[at] & 2) != 0;
        const std::int32_t count = data[at + 1] | (data[at + 2] << 8);
        input.schedule.push_back(Call{(data[at] & 1) != 0, negative ? -count - 1 : count});
    }
    input.bytes = std::string_view(reinterpret_cast<const char*>(data) + at, size - at);
    return input;
}

std::string withoutCarriageReturns(std::string_view bytes) {
    std::string kept;
    for (char c : bytes)
        if (c != '\r') kept += c;
    return kept;
}

class Reader {
public:
    Reader(std::int32_t number, std::string_view bytes) : number_(number), bytes_(bytes) {}

    // Makes one call; true when it took at least one byte.
    bool make(const Call& call) { return call.receive ? receive(call.count) : readLine(); }
    bool allTaken() const { return taken_ == bytes_.size(); }

private:
    bool receive(std::int32_t count) {
        talven::errorNumber = 0;
        std::string got(static_cast<std::size_t>(count < 0 ? 0 : count), '\0');
        got.resize(talven::StreamReceive(number_, got.data(), count));
        if (count < 0) {
            require(got.empty() && talven::errorNumber == 7);
            return false;
        }
        require(talven::errorNumber == 0);
        require(got == bytes_.substr(taken_, got.size()));
        require(!got.empty() || count == 0 || allTaken());
        taken_ += got.size();
        return !got.empty();
    }

    bool readLine() {
        talven::errorNumber = 0;
        const std::string line = talven::StreamReadLine(number_);
        require(talven::errorNumber == 0);
        const std::string_view window = bytes_.substr(taken_, talven::kLineCapacity);
        const std::size_t lf = window.find('\n');
        const bool cut = lf == std::string_view::npos && window.size() == talven::kLineCapacity;
        const std::size_t consumed = lf != std::string_view::npos ? lf + 1 : window.size();
        require(line == withoutCarriageReturns(window.substr(0, lf)));
        require(talven::StreamLastLine(number_).cut == cut);
        require(talven::StreamLastLine(number_).bytes == consumed);
        taken_ += consumed;
        return consumed > 0;
    }

    std::int32_t number_;
    std::string_view bytes_;
    std::size_t taken_ = 0;
};

// Repeats the schedule until every byte is taken and the end is seen, or
// until a whole round could not take anything.
void readAll(Reader& reader, const std::vector<Call>& schedule, std::int32_t number) {
    for (;;) {
        bool progressed = false;
        bool couldProgress = false;
        for (const Call& call : schedule) {
            progressed |= reader.make(call);
            couldProgress |= !call.receive || call.count > 0;
        }
        if (progressed) continue;
        if (couldProgress) require(reader.allTaken() && talven::StreamEnded(number));
        return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Input input = parse(data, size);
    if (input.schedule.empty()) return 0;
    fuzzing::LoopbackPeer peer(input.bytes);
    Reader reader(peer.number(), input.bytes);
    readAll(reader, input.schedule, peer.number());
    return 0;
}
