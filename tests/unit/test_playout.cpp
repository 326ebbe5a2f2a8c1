// The playout tick's rules over a real queue: prefill, late drop, hold and
// silence, sequence wrap-around at 2^32; the queue's ring and lateness.
#include "PlayoutTick.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

PlayoutPacket packet(uint32_t sequence, short fill) {
    PlayoutPacket p;
    p.sequence = sequence;
    std::fill(std::begin(p.samples), std::end(p.samples), fill);
    return p;
}

// One step: frames queued before the tick (sequence, fill value), then what the
// tick must play (a fill value; 0 is silence) and the late drops so far.
struct Step {
    std::vector<std::pair<uint32_t, short>> queued;
    short heard;
    int lateDrops;
};

struct TickCase {
    std::string name;
    uint32_t expected; // the sequence expected before the first step
    std::vector<Step> steps;
    uint32_t expectedAfter;
    int repeats = -1; // empty ticks that held a frame, where the case counts them
    friend void PrintTo(const TickCase& c, std::ostream* os) { *os << c.name; }
};

class PlayoutTickRules : public ::testing::TestWithParam<TickCase> {};

TEST_P(PlayoutTickRules, PlaysWhatTheRulesSay) {
    const int frame = 320;
    PlayoutQueue queue;
    queue.open(frame);
    int32_t lateDrops = 0;
    PlayoutTick tick(queue, lateDrops);
    tick.open(frame);
    tick.expectSequence(GetParam().expected);
    int k = 0;
    for (const Step& step : GetParam().steps) {
        for (auto [sequence, fill] : step.queued) {
            PlayoutPacket p = packet(sequence, fill);
            ASSERT_TRUE(queue.put(&p));
        }
        const short* played = tick.next();
        for (int i = 0; i < frame; ++i)
            ASSERT_EQ(played[i], step.heard) << "tick " << k << ", sample " << i;
        EXPECT_EQ(lateDrops, step.lateDrops) << "tick " << k;
        ++k;
    }
    EXPECT_EQ(tick.nextSequence(), GetParam().expectedAfter);
    if (GetParam().repeats >= 0) {
        EXPECT_EQ(tick.repeats(), GetParam().repeats);
    }
}

// Each frame is held for up to four empty ticks, a new frame restarting the
// count; then silence, however long, until a fresh frame.
std::vector<Step> holdThenSilence() {
    std::vector<Step> steps = {{{}, 0, 0}, {{{0, 42}}, 42, 0}, {{}, 42, 0}, {{}, 42, 0}};
    steps.push_back({{{1, 5}}, 5, 0});
    for (int i = 0; i < 4; ++i)
        steps.push_back({{}, 5, 0});
    for (int i = 0; i < 60; ++i)
        steps.push_back({{}, 0, 0});
    steps.push_back({{{2, 7}}, 7, 0});
    steps.push_back({{}, 7, 0});
    return steps;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayoutTickRules,
    ::testing::Values(
        TickCase{"LateFrameDroppedFirstOnTimePlayed", 8, {{{{7, 70}, {8, 80}}, 80, 1}}, 9},
        TickCase{"OnlyLateFramesTheLastIsPlayed", 8, {{{{5, 50}, {6, 60}}, 60, 2}}, 8},
        TickCase{"OneFramePerTickInArrivalOrder",
                 0,
                 {{{{0, 1}, {1, 2}}, 1, 0}, {{}, 2, 0}, {{{5, 3}}, 3, 0}},
                 6},
        TickCase{"HeldForFourEmptyTicksThenSilentThenFreshAgain", 0, holdThenSilence(), 3, 8},
        TickCase{"LateFrameAfterAGapIsPlayedButNotExpected",
                 0,
                 {{{{3, 3}}, 3, 0}, {{{2, 2}}, 2, 1}, {{{4, 4}}, 4, 1}},
                 5},
        TickCase{"SequenceWrapsAt32Bits",
                 4294967290u,
                 {{{{4294967295u, 9}}, 9, 0}, {{{0, 10}}, 10, 0}},
                 1}),
    [](const ::testing::TestParamInfo<TickCase>& info) { return info.param.name; });

TEST(PlayoutTick, PrefilledAtThreeFramesAndOpenForgetsTheLastSession) {
    PlayoutQueue queue;
    queue.open(960);
    int32_t lateDrops = 0;
    PlayoutTick tick(queue, lateDrops);
    tick.open(960);
    for (uint32_t sequence = 50; sequence < 53; ++sequence) {
        EXPECT_FALSE(tick.prefilled()) << sequence - 50 << " frames";
        PlayoutPacket p = packet(sequence, 9);
        queue.put(&p);
    }
    EXPECT_TRUE(tick.prefilled());
    EXPECT_EQ(tick.next()[959], 9);
    EXPECT_EQ(tick.nextSequence(), 51u);
    queue.open(960);
    tick.open(960);
    EXPECT_EQ(tick.nextSequence(), 0u);
    EXPECT_EQ(tick.next()[0], 0);
    EXPECT_EQ(tick.next()[959], 0);
}

// Four frames at most, in arrival order across the ring's wrap (sequence
// numbers are not interpreted), only the frame's samples copied.
TEST(PlayoutQueue, HoldsFourInArrivalOrderAndCopiesOnlyTheFrame) {
    PlayoutQueue q;
    q.open(320);
    PlayoutPacket got = packet(9, 3);
    EXPECT_FALSE(q.get(&got));
    EXPECT_EQ(got.sequence, 9u) << "an empty queue leaves the packet alone";
    for (uint32_t in = 0, out = 0; out < 13; ++out) {
        for (; in < out + 4; ++in) {
            PlayoutPacket p = packet(100 - in, (short)in);
            ASSERT_TRUE(q.put(&p));
        }
        PlayoutPacket extra = packet(7, 7);
        EXPECT_FALSE(q.put(&extra));
        got = packet(0, -1);
        ASSERT_TRUE(q.get(&got));
        EXPECT_EQ(got.sequence, 100 - out);
        EXPECT_EQ(got.samples[319], (short)out);
        EXPECT_EQ(got.samples[320], -1);
    }
    q.open(320); // a new session empties it
    EXPECT_TRUE(q.isEmpty());
}

TEST(PlayoutQueue, OnlyFramesJustBehindTheNextNumberAreLate) {
    struct {
        uint32_t sequence, next;
        bool late;
    } cases[] = {
        {7, 8, true},                // just played past
        {8, 8, false},               // the one expected
        {9, 8, false},               // a gap: still in order
        {8 - kLateWindow, 8, true},  // the oldest that still counts as late
        {7 - kLateWindow, 8, false}, // further back: the phone restarted its numbering
        {0, 5000, false},            // restart at 0
        {101, 0xFFFFFFF1u, false},   // back to normal after one wild number
        {0xFFFFFFFFu, 2, true},      // late across the wrap
        {0, 0xFFFFFFFFu, false},     // in order across the wrap
    };
    for (const auto& c : cases)
        EXPECT_EQ(isLateFrame(c.sequence, c.next), c.late) << c.sequence << " vs " << c.next;
}

} // namespace
