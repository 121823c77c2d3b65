#include "cpu_time.h"

#include <windows.h>

namespace testftp {
namespace {
ULONGLONG ticksOf(const FILETIME& time) {  // 100-nanosecond ticks
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
}  // namespace

double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return static_cast<double>(ticksOf(kernel) + ticksOf(user)) / 1e7;
}

}  // namespace testftp
