// The speaker: an output audio queue fed from a small pool of preallocated
// frames. The playout tick hands frames in (play): straight into an idle
// buffer when one is free, else into the waiting FIFO, which the queue's
// thread drains as its three buffers come back. A buffer that comes back with
// nothing waiting goes idle instead of carrying silence, so a speaker that is
// handed nothing queues nothing and its back end can rest.
#pragma once

#include "Mutex.h"

#include <atomic>

struct OpaqueAudioQueue;
struct AudioQueueBuffer;

struct AudioFrame {
    int sampleCount;
    short* samples;
};

class AudioPlayer {
  public:
    static constexpr int kBufferCount = 3;
    static constexpr int kFrameCount = 10;

    AudioPlayer(int sampleRate, int frameDurationMs);
    ~AudioPlayer();
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    // Status of AudioQueueStart (0 on success); the three buffers start idle.
    int open();
    // Ticking thread: 0 when the frame was accepted, -1 when dropped.
    int play(short const* samples, unsigned int count);
    void close();

    int getFrameSize() const { return mFrameSize; }
    int getState() const { return mState; }

    static void AQBufferCallback(void* player, OpaqueAudioQueue* queue, AudioQueueBuffer* buffer);
    void onBufferReleased(AudioQueueBuffer* buffer);

  private:
    void setupQueue();
    void disposeQueue();

    // A fixed ring of frame pointers; holds at most kFrameCount, never allocates.
    struct FrameFifo {
        AudioFrame* items[kFrameCount];
        int head = 0;
        int count = 0;
        bool empty() const { return count == 0; }
        void push(AudioFrame* f) { items[(head + count++) % kFrameCount] = f; }
        AudioFrame* pop() {
            AudioFrame* f = items[head];
            head = (head + 1) % kFrameCount;
            --count;
            return f;
        }
    };

    OpaqueAudioQueue* mQueue;
    AudioQueueBuffer* mBuffers[kBufferCount];
    AudioQueueBuffer* mIdle[kBufferCount]; // guarded by mMutex: buffers the queue does not hold
    int mIdleCount = 0;                    // guarded by mMutex
    FrameFifo mWaiting; // guarded by mMutex: frames with PCM not yet handed to the queue
    FrameFifo mFree;    // guarded by mMutex: frames holding nothing
    Mutex mMutex;       // ticking thread (play) against the queue's thread (refills)
    int mFrameSize;
    // 1 ready, 2 playing, 3 stopping. Written by open/close on the session's
    // start and stop threads while no tick runs; read by play without the lock.
    std::atomic<int> mState;
    int mSampleRate;
    int mFrameDuration;
};
