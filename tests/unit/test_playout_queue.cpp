// The jitter buffer: four frames at most, arrival order across the ring's
// wrap, only the frame's samples copied.
#include "PlayoutQueue.h"

#include <gtest/gtest.h>

namespace {

PlayoutPacket packet(uint32_t sequence, short fill) {
    PlayoutPacket p;
    p.sequence = sequence;
    std::fill(std::begin(p.samples), std::end(p.samples), fill);
    return p;
}

TEST(PlayoutQueue, HoldsAtMostFourInArrivalOrderAcrossTheWrap) {
    PlayoutQueue q;
    q.open(960);
    EXPECT_TRUE(q.isEmpty());
    for (uint32_t i = 0; i < 4; ++i) {
        PlayoutPacket p = packet(100 - i, (short)i);
        EXPECT_TRUE(q.put(&p));
    }
    PlayoutPacket extra = packet(7, 7);
    EXPECT_FALSE(q.put(&extra));
    EXPECT_TRUE(q.isFull());
    for (uint32_t out = 0, in = 4; out < 13; ++out, ++in) {
        PlayoutPacket got;
        ASSERT_TRUE(q.get(&got));
        EXPECT_EQ(got.sequence, 100 - out) << "sequence numbers are not interpreted";
        EXPECT_EQ(got.samples[959], (short)out);
        PlayoutPacket next = packet(100 - in, (short)in);
        ASSERT_TRUE(q.put(&next));
    }
    EXPECT_EQ(q.getCount(), 4);
    q.open(320); // a new session empties it
    EXPECT_TRUE(q.isEmpty());
    EXPECT_FALSE(q.get(&extra));
}

TEST(PlayoutQueue, CopiesOnlyTheFrameAndRefusesWhenEmpty) {
    PlayoutQueue q;
    q.open(320);
    PlayoutPacket in = packet(5, 11);
    ASSERT_TRUE(q.put(&in));
    PlayoutPacket out = packet(0, -1);
    ASSERT_TRUE(q.get(&out));
    EXPECT_EQ(out.sequence, 5u);
    EXPECT_EQ(out.samples[319], 11);
    EXPECT_EQ(out.samples[320], -1);
    PlayoutPacket untouched = packet(9, 3);
    EXPECT_FALSE(q.get(&untouched));
    EXPECT_EQ(untouched.sequence, 9u);
    EXPECT_EQ(untouched.samples[0], 3);
}

} // namespace
