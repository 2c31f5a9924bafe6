#include "CoreComp/rssess/rs_session.h"

#include <gtest/gtest.h>

TEST(SequenceNumbers, WrapAfterTwentyMillion)
{
    // The counter is process-wide; walk it up to the wrap once.
    uint32_t last = TRSSession::NextSequenceNumber();
    while (last < 20000000)
        last = TRSSession::NextSequenceNumber();
    EXPECT_EQ(TRSSession::NextSequenceNumber(), 0u);
    EXPECT_EQ(TRSSession::NextSequenceNumber(), 1u);
}
