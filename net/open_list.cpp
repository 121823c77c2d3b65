#include "open_list.h"

#include <mutex>  // std::lock_guard only

namespace talven {

ThreadErrorNumber errorNumber;

namespace detail {
namespace {
os::Lock gListLock;
OpenRecord* gOpenList = nullptr;
std::int32_t gNumberCounter = 0;

// The caller holds gListLock.
OpenRecord* findLocked(std::int32_t number) {
    for (OpenRecord* record = gOpenList; record != nullptr; record = record->next)
        if (record->number == number) return record;
    return nullptr;
}

// Takes the record open under number out of the list; null when none is.
OpenRecord* unlink(std::int32_t number) {
    std::lock_guard<os::Lock> guard(gListLock);
    for (OpenRecord** link = &gOpenList; *link != nullptr; link = &(*link)->next) {
        if ((*link)->number == number) {
            OpenRecord* record = *link;
            *link = record->next;
            return record;
        }
    }
    return nullptr;
}
}  // namespace

bool validConnectionNumber(std::int32_t number) { return number >= 0 && number <= kHighestConnectionNumber; }

OpenRecord* findRecord(std::int32_t number) {
    if (!validConnectionNumber(number)) return nullptr;
    std::lock_guard<os::Lock> guard(gListLock);
    return findLocked(number);
}

bool linkRecordIfFree(OpenRecord* record) {
    std::lock_guard<os::Lock> guard(gListLock);
    if (findLocked(record->number) != nullptr) return false;
    record->next = gOpenList;
    gOpenList = record;
    return true;
}

}  // namespace detail

std::int32_t StreamFreeNumber() {
    std::lock_guard<os::Lock> guard(detail::gListLock);
    for (std::int32_t tries = 0; tries < kHighestConnectionNumber; ++tries) {
        detail::gNumberCounter = detail::gNumberCounter >= kHighestConnectionNumber ? 1 : detail::gNumberCounter + 1;
        if (detail::findLocked(detail::gNumberCounter) == nullptr) return detail::gNumberCounter;
    }
    return -1;
}

// The record is freed outside the lock: closing its socket or file may take
// a while.
void StreamClose(std::int32_t number) {
    if (!detail::validConnectionNumber(number)) return;
    delete detail::unlink(number);
}

std::vector<std::int32_t> openConnectionNumbers() {
    std::vector<std::int32_t> numbers;
    std::lock_guard<os::Lock> guard(detail::gListLock);
    for (detail::OpenRecord* record = detail::gOpenList; record != nullptr; record = record->next)
        numbers.push_back(record->number);
    return numbers;
}

}  // namespace talven
