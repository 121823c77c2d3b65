// What a process sees before it has used the client at all.
#include <gtest/gtest.h>

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
