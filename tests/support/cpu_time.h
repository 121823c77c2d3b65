// CPU time (user and system) used so far, in seconds: by the calling thread,
// and by the whole process.
#pragma once

namespace testftp {

double threadCpuSeconds();
double processCpuSeconds();

}  // namespace testftp
