// Connection numbers and the open list shared by TCP streams and local files.
//
// Every open stream or file has one record in a process-wide singly linked
// list, found by its connection number. Two busy-wait locks guard the list:
// the open lock (held across a whole number hand-out or open) and the list
// lock (held only while the list is searched or changed), always taken in
// that order.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace talven {

// The error number of the last failed stream, file or process operation;
// 0 means none. A success leaves it as it was.
extern std::int32_t errorNumber;

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

class SpinLock {
public:
    void lock() {
        while (word_.exchange(1, std::memory_order_acquire) != 0) {
        }
    }
    void unlock() { word_.store(0, std::memory_order_release); }

private:
    std::atomic<std::uint32_t> word_{0};
};

// Held across the whole of a number hand-out and of every open.
SpinLock& openLock();

bool validConnectionNumber(std::int32_t number);
// The record open under number, or null.
OpenRecord* findRecord(std::int32_t number);
// Links a new record in at the front of the list.
void linkRecord(OpenRecord* record);
// Takes the record out of the list and frees it.
void unlinkAndFree(OpenRecord* record);

}  // namespace detail
}  // namespace talven
