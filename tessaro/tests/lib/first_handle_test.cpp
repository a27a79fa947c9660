// Handle numbering: the first connection of a process is handle 0 (in an
// executable of its own, so that no other test has connected before), later
// ones count up, failed attempts use none, and handles not yet issued are
// refused.
#include <gtest/gtest.h>

#include "scripted_peer.h"

TEST(FirstHandle, HandlesCountFromZeroAndFailedAttemptsUseNone) {
    EXPECT_EQ(ReadNode(0, 1), E_INVALID);
    EXPECT_EQ(GetSystemMessageXMLLen(1), E_UNAVAIL);  // no connection to send it on
    peer::ScriptedPeer p, refusing({}, peer::Hello::Refuse);
    EXPECT_EQ(p.connect(), 0);
    EXPECT_EQ(refusing.connect(), -1);
    EXPECT_EQ(DetectRemoteController("[oops", 1610), -1);
    EXPECT_EQ(p.connect(), 1);
    EXPECT_EQ(ReadNode(0, 1), E_OK);
    EXPECT_EQ(ReadNode(2, 1), E_INVALID);
    EXPECT_EQ(p.requests(), 3u);  // the two Hellos and one ReadNode
}
