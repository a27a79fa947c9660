// Handle numbering: the first connection of a process is handle 0 (in an
// executable of its own, so that no other test has connected before), later
// ones count up and failed attempts use none; handles never issued are
// refused by every kind of operation.
#include <gtest/gtest.h>

#include "scripted_peer.h"

TEST(FirstHandle, HandlesCountFromZeroAndUnknownOnesAreRefused) {
    unsigned state = 7, reserved = 7;
    EXPECT_EQ(ReadNode(0, 1), E_INVALID);
    EXPECT_EQ(GetPLCState(0, &state, &reserved), E_INVALID);
    EXPECT_EQ(state, 7u);
    EXPECT_EQ(GetSystemMessageXMLLen(1), E_UNAVAIL);  // no connection to send it on

    peer::ScriptedPeer p, refusing({}, peer::Hello::Refuse);
    EXPECT_EQ(p.connect(), 0);
    EXPECT_EQ(p.connect(), 1);
    EXPECT_EQ(refusing.connect(), -1);
    EXPECT_EQ(DetectRemoteController("[oops", 1610), -1);
    EXPECT_EQ(ReadNode(0, 1), E_OK);
    EXPECT_EQ(ReadNode(2, 1), E_INVALID);
    EXPECT_EQ(ReadNode(-1, 1), E_INVALID);
    EXPECT_EQ(GetNode(2, "a"), -1);
    EXPECT_EQ(CreateNodeObjectCollection(-7), -1);
    EXPECT_EQ(GetNodeInfo(0x7fffffff, 1), nullptr);
    EXPECT_EQ(RegisterOnPLCChanged(2, [](HController, unsigned, unsigned) { return 0; }), E_INVALID);
    EXPECT_EQ(UnregisterOnPLCChanged(2), E_INVALID);
    EXPECT_EQ(p.requests(), 3u);  // the two Hellos and one ReadNode
    EXPECT_EQ(p.connect(), 2);
}
