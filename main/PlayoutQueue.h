// The jitter buffer between the pump (put) and the playout tick (get): a
// fixed ring of five slots holding at most four frames, copied in and out by
// value under one short-held mutex. It keeps arrival order; sequence numbers
// are the tick's business.
#pragma once

#include "Mutex.h"

#include <atomic>
#include <stdint.h>

struct PlayoutPacket {
    static constexpr int kMaxSamples = 960; // 20 ms at 48000 Hz
    short samples[kMaxSamples];
    uint32_t sequence;
};

// Whether a frame numbered `sequence` comes too late when `next` is the
// number expected: it lies at most kLateWindow numbers behind (modulo 2^32).
// Anything further off in either direction is a jump (a wild number, or a
// phone that restarted its numbering): it is played and the order follows it,
// instead of every later frame counting as late.
constexpr uint32_t kLateWindow = 64; // 1.28 s of frames, far beyond the queue's reach
constexpr bool isLateFrame(uint32_t sequence, uint32_t next) {
    uint32_t behind = next - sequence;
    return behind != 0 && behind <= kLateWindow;
}

class PlayoutQueue {
  public:
    static constexpr int kSlots = 5;
    static constexpr int kCapacity = 4;

    PlayoutQueue();
    ~PlayoutQueue();

    // Empties the queue for frames of `frameSamples` (<= 960). Only while no
    // other thread uses the queue.
    void open(int frameSamples);
    void close();
    bool put(PlayoutPacket* packet); // pump thread; false when 4 are held
    bool get(PlayoutPacket* packet); // ticking thread; false when empty
    // Lock-free snapshots of the count.
    bool isFull();
    bool isEmpty();
    int getCount();
    void copy(PlayoutPacket* dst, PlayoutPacket* src);

  private:
    int mReadIndex;  // guarded by mMutex
    int mWriteIndex; // guarded by mMutex
    PlayoutPacket mPackets[kSlots];
    int mFrameSamples; // set by open before the pump starts
    Mutex mMutex;
    std::atomic<int> mCount; // written under mMutex, read anywhere
};
