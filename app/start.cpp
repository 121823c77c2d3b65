// The process start: the platform's frame around the upload job.
#include "os.h"
#include "upload_job.h"

int main(int argc, char** argv) { return os::runProgram(argc, argv, &talven::app::main); }
