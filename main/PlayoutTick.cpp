#include "PlayoutTick.h"

#include <climits>
#include <string.h>

PlayoutTick::PlayoutTick(PlayoutQueue& queue, int32_t& lateDrops)
    : mQueue(queue), mLateDrops(lateDrops), mPacket(), mBuffer() {}

void PlayoutTick::open(int frameSamples) {
    if (frameSamples < 0)
        frameSamples = 0;
    if (frameSamples > PlayoutPacket::kMaxSamples)
        frameSamples = PlayoutPacket::kMaxSamples;
    mFrameSamples = frameSamples;
    memset(mBuffer, 0, sizeof mBuffer);
    mHoldTicks = kHoldTicks;
    mNextSequence = 0;
    mLateCount.store(0, std::memory_order_relaxed);
    mRepeatCount.store(0, std::memory_order_relaxed);
}

const short* PlayoutTick::next() {
    // The hold ran out after the last tick played: silence from now on.
    if (mHoldTicks == 0)
        memset(mBuffer, 0, sizeof(short) * (size_t)mFrameSamples);
    bool taken = false;
    bool fresh = false;
    while (mQueue.get(&mPacket)) {
        taken = true;
        if (!isLateFrame(mPacket.sequence, mNextSequence)) {
            fresh = true;
            break;
        }
        mLateDrops++;
        mLateCount.fetch_add(1, std::memory_order_relaxed);
    }
    if (!taken && mHoldTicks > 0)
        mRepeatCount.fetch_add(1, std::memory_order_relaxed);
    if (taken) {
        mHoldTicks = kHoldTicks;
        memcpy(mBuffer, mPacket.samples, sizeof(short) * (size_t)mFrameSamples);
        if (fresh)
            mNextSequence = mPacket.sequence + 1; // also follows a jump
    }
    if (mHoldTicks > INT_MIN)
        --mHoldTicks;
    return mBuffer;
}
