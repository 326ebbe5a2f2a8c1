#include "PlayoutQueue.h"

#include <string.h>

PlayoutQueue::PlayoutQueue() : mCount(0) {}

PlayoutQueue::~PlayoutQueue() {}

void PlayoutQueue::open(int frameSamples) {
    if (frameSamples < 0)
        frameSamples = 0;
    if (frameSamples > PlayoutPacket::kMaxSamples)
        frameSamples = PlayoutPacket::kMaxSamples;
    mFrameSamples = frameSamples;
    mReadIndex = 0;
    mWriteIndex = 0;
    mCount.store(0);
}

void PlayoutQueue::close() {}

bool PlayoutQueue::put(PlayoutPacket* packet) {
    MutexLocker lock(mMutex);
    if (mCount.load(std::memory_order_relaxed) == kCapacity)
        return false;
    copy(&mPackets[mWriteIndex], packet);
    mWriteIndex = (mWriteIndex + 1) % kSlots;
    mCount.fetch_add(1);
    return true;
}

bool PlayoutQueue::get(PlayoutPacket* packet) {
    MutexLocker lock(mMutex);
    if (mCount.load(std::memory_order_relaxed) == 0)
        return false;
    copy(packet, &mPackets[mReadIndex]);
    mReadIndex = (mReadIndex + 1) % kSlots;
    mCount.fetch_sub(1);
    return true;
}

bool PlayoutQueue::isFull() {
    return mCount.load() == kCapacity;
}

bool PlayoutQueue::isEmpty() {
    return mCount.load() == 0;
}

int PlayoutQueue::getCount() {
    return mCount.load();
}

void PlayoutQueue::copy(PlayoutPacket* dst, PlayoutPacket* src) {
    dst->sequence = src->sequence;
    memcpy(dst->samples, src->samples, sizeof(short) * (size_t)mFrameSamples);
}
