#include "open_list.h"

#include <mutex>

namespace talven {

std::int32_t errorNumber = 0;

namespace detail {
namespace {
SpinLock gListLock;
OpenRecord* gOpenList = nullptr;
std::int32_t gNumberCounter = 0;
}  // namespace

SpinLock& openLock() {
    static SpinLock lock;
    return lock;
}

bool validConnectionNumber(std::int32_t number) { return number >= 0 && number <= kHighestConnectionNumber; }

OpenRecord* findRecord(std::int32_t number) {
    if (!validConnectionNumber(number)) return nullptr;
    std::lock_guard<SpinLock> guard(gListLock);
    for (OpenRecord* record = gOpenList; record != nullptr; record = record->next)
        if (record->number == number) return record;
    return nullptr;
}

void linkRecord(OpenRecord* record) {
    std::lock_guard<SpinLock> guard(gListLock);
    record->next = gOpenList;
    gOpenList = record;
}

void unlinkAndFree(OpenRecord* record) {
    {
        std::lock_guard<SpinLock> guard(gListLock);
        for (OpenRecord** link = &gOpenList; *link != nullptr; link = &(*link)->next) {
            if (*link == record) {
                *link = record->next;
                break;
            }
        }
    }
    delete record;
}

}  // namespace detail

std::int32_t StreamFreeNumber() {
    std::lock_guard<detail::SpinLock> guard(detail::openLock());
    for (std::int32_t tries = 0; tries < kHighestConnectionNumber; ++tries) {
        detail::gNumberCounter = detail::gNumberCounter >= kHighestConnectionNumber ? 1 : detail::gNumberCounter + 1;
        if (detail::findRecord(detail::gNumberCounter) == nullptr) return detail::gNumberCounter;
    }
    return -1;
}

void StreamClose(std::int32_t number) {
    if (detail::OpenRecord* record = detail::findRecord(number)) detail::unlinkAndFree(record);
}

std::vector<std::int32_t> openConnectionNumbers() {
    std::vector<std::int32_t> numbers;
    std::lock_guard<detail::SpinLock> guard(detail::gListLock);
    for (detail::OpenRecord* record = detail::gOpenList; record != nullptr; record = record->next)
        numbers.push_back(record->number);
    return numbers;
}

}  // namespace talven
