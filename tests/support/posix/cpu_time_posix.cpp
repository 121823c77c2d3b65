#include "cpu_time.h"

#include <ctime>

namespace testftp {
namespace {
double secondsOf(clockid_t clock) {
    timespec used{};
    clock_gettime(clock, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}
}  // namespace

double threadCpuSeconds() { return secondsOf(CLOCK_THREAD_CPUTIME_ID); }
double processCpuSeconds() { return secondsOf(CLOCK_PROCESS_CPUTIME_ID); }

}  // namespace testftp
