// The first connection of a process is handle 0 (its own executable, so that
// no other test has connected before), and unknown handles are refused.
#include <gtest/gtest.h>

#include "scripted_peer.h"
#include "test_util.h"
#include "xal_tessaro.h"

TEST(FirstHandle, FirstConnectionIsZeroAndUnknownHandlesAreRefused) {
    // No connection yet: every handle is unknown.
    unsigned state = 7, reserved = 7;
    EXPECT_EQ(ReadNode(0, 1), E_INVALID);
    EXPECT_EQ(GetPLCState(0, &state, &reserved), E_INVALID);
    EXPECT_EQ(state, 7u);
    EXPECT_EQ(GetNode(0, "a"), -1);
    EXPECT_EQ(GetNodeInfo(0, 1), nullptr);
    EXPECT_EQ(GetSystemMessageXMLLen(1), E_UNAVAIL);  // no connection to send it on

    peer::ScriptedPeer p;
    EXPECT_EQ(testutil::connect_to(p), 0);
    EXPECT_EQ(testutil::connect_to(p), 1);
    EXPECT_EQ(ReadNode(0, 1), E_OK);
    EXPECT_EQ(ReadNode(2, 1), E_INVALID);
    EXPECT_EQ(ReadNode(-1, 1), E_INVALID);
    EXPECT_EQ(JobStart(0x7fffffff), E_INVALID);
    EXPECT_EQ(CreateNodeObjectCollection(-7), -1);
    EXPECT_EQ(GetJobInfo(5), nullptr);
}
