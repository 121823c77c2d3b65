// CPU time (user and system) that the whole process has used so far, in
// seconds.
#pragma once

namespace testftp {

double processCpuSeconds();

}  // namespace testftp
