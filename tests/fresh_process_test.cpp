// What a process sees before it has used the client at all.
#include <gtest/gtest.h>

#include <thread>

#include "client.h"
#include "open_list.h"
#include "talvenftp.h"

TEST(FreshProcess, NoStatusAndNumbersFromOne) {
    EXPECT_EQ(FTPGETLASTSTATUSCODE(), 0);
    BSTR message = FTPGETLASTSTATUSMSG();
    EXPECT_EQ(SysStringByteLen(message), 0u);
    SysFreeString(message);
    EXPECT_EQ(talven::StreamFreeNumber(), 1);
    EXPECT_EQ(talven::StreamFreeNumber(), 2);
    EXPECT_EQ(talven::errorNumber, 0);
}

// Each thread has its own last status and error number, as it has its own
// errno: a new one starts as a fresh process does, whatever others left.
TEST(FreshProcess, EveryNewThreadStartsWithNoStatusAndNoErrorNumber) {
    talven::ftpRecordBuiltStatus(57, "Unable to open socket");
    talven::errorNumber = 57;
    std::int32_t code = -1, error = -1;
    std::uint32_t textLength = 1;
    std::thread([&] {
        code = FTPGETLASTSTATUSCODE();
        BSTR message = FTPGETLASTSTATUSMSG();
        textLength = SysStringByteLen(message);
        SysFreeString(message);
        error = talven::errorNumber;
    }).join();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(textLength, 0u);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(FTPGETLASTSTATUSCODE(), 57);
    EXPECT_EQ(talven::errorNumber, 57);
    talven::ftpRecordReply("");
    talven::errorNumber = 0;
}
