// Connection numbers and the open list shared by TCP streams and local files.
//
// Every open stream or file has one record in a process-wide singly linked
// list, found by its connection number. One mutex guards the list and the
// number counter; it is held only while the list is searched or changed,
// never across a host lookup, a connect, a file open or any wait, so that a
// thread whose connect hangs holds up no other thread.
//
// Any number of threads may open, use and close connection numbers at once,
// each its own: one number is not to be used by two threads at once.
#pragma once

#include <cstdint>
#include <vector>

#include "os.h"

namespace talven {

// The error number of the last failed stream, file or process operation on
// this thread; 0 means none. A success leaves it as it was.
class ThreadErrorNumber {
public:
    operator std::int32_t() const { return static_cast<std::int32_t>(word_.get()); }
    ThreadErrorNumber& operator=(std::int32_t number) {
        word_.set(number);
        return *this;
    }

private:
    os::ThreadWord word_;
};
extern ThreadErrorNumber errorNumber;

inline constexpr std::int32_t kHighestConnectionNumber = 32767;

// The next free connection number, 1 to 32767, or -1 when every number is
// open. It is not reserved: open it before asking for another.
std::int32_t StreamFreeNumber();

// Closes the stream or file open under number; nothing happens, and no error
// is recorded, when nothing is open there. Unread bytes are discarded.
void StreamClose(std::int32_t number);

// The numbers that are open now, newest first.
std::vector<std::int32_t> openConnectionNumbers();

namespace detail {

enum class RecordKind { tcpStream, localFile };

struct OpenRecord {
    OpenRecord(std::int32_t number, RecordKind kind) : number(static_cast<std::int16_t>(number)), kind(kind) {}
    virtual ~OpenRecord() = default;
    OpenRecord(const OpenRecord&) = delete;
    OpenRecord& operator=(const OpenRecord&) = delete;

    OpenRecord* next = nullptr;
    const std::int16_t number;
    const RecordKind kind;
};

bool validConnectionNumber(std::int32_t number);
// The record open under number, or null.
OpenRecord* findRecord(std::int32_t number);
// Links a new record in at the front of the list, unless another record is
// open under its number by now (another thread opened it meanwhile): false.
bool linkRecordIfFree(OpenRecord* record);

}  // namespace detail
}  // namespace talven
