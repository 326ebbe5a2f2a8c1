#include "PlayoutQueue.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

PlayoutPacket packet(uint32_t sequence, short fill) {
    PlayoutPacket p;
    p.sequence = sequence;
    for (short& s : p.samples)
        s = fill;
    return p;
}

TEST(PlayoutQueue, HoldsAtMostFourAndKeepsArrivalOrderAcrossTheWrap) {
    PlayoutQueue q;
    q.open(960);
    EXPECT_TRUE(q.isEmpty());
    for (uint32_t i = 0; i < 4; ++i) {
        PlayoutPacket p = packet(100 - i, (short)i);
        EXPECT_TRUE(q.put(&p));
    }
    PlayoutPacket extra = packet(7, 7);
    EXPECT_FALSE(q.put(&extra)) << "one slot always stays free";
    EXPECT_TRUE(q.isFull());
    EXPECT_EQ(q.getCount(), 4);

    // Run the indices around the ring several times; order and content survive.
    uint32_t nextIn = 4, nextOut = 0;
    for (int round = 0; round < 13; ++round) {
        PlayoutPacket out;
        ASSERT_TRUE(q.get(&out));
        EXPECT_EQ(out.sequence, 100 - nextOut) << "sequence numbers are not interpreted";
        EXPECT_EQ(out.samples[0], (short)nextOut);
        EXPECT_EQ(out.samples[959], (short)nextOut);
        ++nextOut;
        PlayoutPacket in = packet(100 - nextIn, (short)nextIn);
        ASSERT_TRUE(q.put(&in));
        ++nextIn;
    }
    EXPECT_EQ(q.getCount(), 4);
}

TEST(PlayoutQueue, CopiesOnlyTheFrameSizeAndLeavesTheRestOfTheCallersPacket) {
    PlayoutQueue q;
    q.open(320);
    PlayoutPacket in = packet(5, 11);
    ASSERT_TRUE(q.put(&in));
    PlayoutPacket out = packet(0, -1);
    ASSERT_TRUE(q.get(&out));
    EXPECT_EQ(out.sequence, 5u);
    EXPECT_EQ(out.samples[319], 11);
    EXPECT_EQ(out.samples[320], -1);
    EXPECT_EQ(out.samples[959], -1);

    // An empty queue refuses and leaves the packet alone.
    PlayoutPacket untouched = packet(9, 3);
    EXPECT_FALSE(q.get(&untouched));
    EXPECT_EQ(untouched.sequence, 9u);
    EXPECT_EQ(untouched.samples[0], 3);
}

TEST(PlayoutQueue, OpenEmptiesAQueueThatStillHoldsFrames) {
    PlayoutQueue q;
    q.open(960);
    PlayoutPacket p = packet(1, 1);
    q.put(&p);
    q.put(&p);
    q.open(320);
    EXPECT_TRUE(q.isEmpty());
    EXPECT_EQ(q.getCount(), 0);
    PlayoutPacket out;
    EXPECT_FALSE(q.get(&out));
}

TEST(PlayoutQueue, OneProducerOneConsumerSeeWholeFramesInOrder) {
    PlayoutQueue q;
    q.open(960);
    constexpr uint32_t kFrames = 20000;
    std::thread producer([&] {
        for (uint32_t i = 0; i < kFrames;) {
            PlayoutPacket p = packet(i, (short)(i & 0x7fff));
            if (q.put(&p))
                ++i;
            else
                std::this_thread::yield();
        }
    });
    uint32_t expected = 0;
    while (expected < kFrames) {
        PlayoutPacket out;
        if (!q.get(&out)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(out.sequence, expected);
        // A frame is never seen half written.
        ASSERT_EQ(out.samples[0], (short)(expected & 0x7fff));
        ASSERT_EQ(out.samples[959], (short)(expected & 0x7fff));
        ++expected;
    }
    producer.join();
}

} // namespace
