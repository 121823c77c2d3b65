#include "local_file.h"

#include <new>

namespace talven {
namespace {

struct FileRecord final : detail::OpenRecord {
    FileRecord(std::int32_t number, os::FileHandle handle)
        : OpenRecord(number, detail::RecordKind::localFile), handle(handle) {}
    ~FileRecord() override { os::closeFile(handle); }
    os::FileHandle handle;
};

FileRecord* findFile(std::int32_t number) {
    detail::OpenRecord* record = detail::findRecord(number);
    if (record == nullptr || record->kind != detail::RecordKind::localFile) {
        errorNumber = 52;
        return nullptr;
    }
    return static_cast<FileRecord*>(record);
}

using Opener = std::int32_t (*)(const std::string&, os::FileHandle&);

// The file is opened with no lock held (a file on a stalled network drive
// can take long to open) and joins the open list afterwards. A file that another
// thread's open under the same number beat to the list is closed again, and
// removed when this open created it.
void openUnder(std::int32_t number, const std::string& path, Opener opener, bool creates) {
    if (!detail::validConnectionNumber(number) || detail::findRecord(number) != nullptr) {
        errorNumber = 52;
        return;
    }
    os::FileHandle handle{};
    if (std::int32_t error = opener(path, handle)) {
        errorNumber = error;
        return;
    }
    FileRecord* record = new (std::nothrow) FileRecord(number, handle);
    if (record == nullptr) {
        os::closeFile(handle);
        errorNumber = 7;
        return;
    }
    if (!detail::linkRecordIfFree(record)) {
        delete record;
        if (creates) os::deleteFile(path);
        errorNumber = 52;
    }
}

}  // namespace

void LocalFileOpenForReading(std::int32_t number, const std::string& path) {
    openUnder(number, path, &os::openForReading, false);
}

void LocalFileCreate(std::int32_t number, const std::string& path) {
    openUnder(number, path, &os::createExclusive, true);
}

std::size_t LocalFileRead(std::int32_t number, char* buffer, std::size_t count) {
    FileRecord* file = findFile(number);
    if (file == nullptr) return 0;
    std::size_t got = 0;
    if (std::int32_t error = os::readFile(file->handle, buffer, count, got)) {
        errorNumber = error;
        return 0;
    }
    return got;
}

bool LocalFileSeek(std::int32_t number, std::int64_t offset) {
    FileRecord* file = findFile(number);
    if (file == nullptr) return false;
    if (std::int32_t error = os::seekFile(file->handle, offset)) {
        errorNumber = error;
        return false;
    }
    return true;
}

std::size_t LocalFileWrite(std::int32_t number, const char* bytes, std::size_t count) {
    FileRecord* file = findFile(number);
    if (file == nullptr) return 0;
    std::size_t written = 0;
    if (std::int32_t error = os::writeFile(file->handle, bytes, count, &written)) errorNumber = error;
    return written;
}

std::int32_t LocalFileFlush(std::int32_t number) {
    FileRecord* file = findFile(number);
    if (file == nullptr) return errorNumber;  // 52, as findFile recorded
    const std::int32_t error = os::flushFile(file->handle);
    if (error != 0) errorNumber = error;
    return error;
}

bool LocalFileHandle(std::int32_t number, os::FileHandle& handle) {
    FileRecord* file = findFile(number);
    if (file == nullptr) return false;
    handle = file->handle;
    return true;
}

os::FileIdentity LocalFileIdentity(std::int32_t number) {
    os::FileIdentity identity;
    FileRecord* file = findFile(number);
    if (file == nullptr) return identity;
    if (std::int32_t error = os::fileIdentity(file->handle, identity)) {
        errorNumber = error;
        identity = os::FileIdentity{};
    }
    return identity;
}

}  // namespace talven
