#include "cpu_time.h"

#include <windows.h>

namespace testftp {
namespace {
double secondsOf(const FILETIME& time) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(ticks) / 1e7;  // 100-nanosecond ticks
}
}  // namespace

double threadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    return secondsOf(kernel) + secondsOf(user);
}

double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return secondsOf(kernel) + secondsOf(user);
}

}  // namespace testftp
