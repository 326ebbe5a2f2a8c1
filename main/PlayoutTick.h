// What each 20 ms tick plays, taken from the playout queue. The clock starts
// once three frames wait. A fresh frame is played once and then repeated on up
// to four empty ticks, so short gaps are bridged; from the fifth empty tick on
// the buffer is silent. Frames just behind the next expected sequence are
// dropped as late; a jump farther away in either direction re-synchronises the
// expected sequence to it. When only late frames are queued the last of them
// is still played, without moving the expected sequence. Owned by the controller: open()
// runs before the clock starts, next() only on the ticking thread; next()
// allocates nothing and takes no lock but the queue's.
#pragma once

#include "PlayoutQueue.h"

#include <atomic>
#include <stdint.h>

class PlayoutTick {
  public:
    static constexpr int kHoldTicks = 5;     // the fresh play and four repeats
    static constexpr int kPrefillFrames = 3; // queued before the clock starts

    PlayoutTick(PlayoutQueue& queue, int32_t& lateDrops);

    // A silent buffer of `frameSamples` (<= 960), expecting sequence 0.
    void open(int frameSamples);
    // Whether enough frames wait for the clock to start.
    bool prefilled() { return mQueue.getCount() >= kPrefillFrames; }
    // The frameSamples samples this tick plays.
    const short* next();
    uint32_t nextSequence() const { return mNextSequence; }
    // For displays, from any thread: this session's late drops and ticks that
    // repeated the last frame.
    int lateDrops() const { return mLateCount.load(std::memory_order_relaxed); }
    int repeats() const { return mRepeatCount.load(std::memory_order_relaxed); }
    // For a session that resumes mid-stream (and tests of the wrap at 2^32).
    void expectSequence(uint32_t sequence) { mNextSequence = sequence; }

  private:
    PlayoutQueue& mQueue;
    int32_t& mLateDrops; // a statistics counter; only the ticking thread writes it
    PlayoutPacket mPacket;
    short mBuffer[PlayoutPacket::kMaxSamples];
    int mFrameSamples = 0;
    int mHoldTicks = 0;
    uint32_t mNextSequence = 0;
    // Written by next() only, relaxed: each is a value on its own.
    std::atomic<int> mLateCount{0};
    std::atomic<int> mRepeatCount{0};
};
