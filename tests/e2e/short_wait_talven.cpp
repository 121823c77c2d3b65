// The talven program with a stream wait of 2.1 seconds instead of 63, for
// the end-to-end cases where the server stops answering: they end after
// the waits they are meant to take, not after minutes. Its pauses before a
// reconnect are a tenth of the real ones.
#include "client.h"
#include "os.h"
#include "upload_job.h"

int main(int argc, char** argv) {
    talven::setFtpStreamTimeoutForTests(2);
    talven::app::setReconnectPausesForTests(500, 3000);
    return os::runProgram(argc, argv, &talven::app::main);
}
