// The queue's own contract beyond what the speaker player exercises: buffers
// enqueued before the start, double enqueues, and what a stop leaves behind.
#include "RecordingAudioBackend.h"

#include <AudioToolbox/AudioToolbox.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Remembers the order buffers came back in; never re-enqueues.
struct Returns {
    std::atomic<int> count{0};
    AudioQueueBufferRef order[8] = {};
    static void callback(void* self, AudioQueueRef, AudioQueueBufferRef buffer) {
        auto* r = static_cast<Returns*>(self);
        const int k = r->count.load();
        r->order[k % 8] = buffer;
        r->count.store(k + 1);
    }
};

} // namespace

TEST(AudioQueueTest, PlaysInEnqueueOrderAndStopHandsEveryBufferBack) {
    RecordingAudioBackendInstaller speaker;
    Returns returns;
    AudioStreamBasicDescription format{};
    format.mSampleRate = 16000;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kLinearPCMFormatFlagIsSignedInteger | kLinearPCMFormatFlagIsPacked;
    format.mBytesPerPacket = format.mBytesPerFrame = 2;
    format.mFramesPerPacket = format.mChannelsPerFrame = 1;
    format.mBitsPerChannel = 16;
    AudioQueueRef queue = nullptr;
    ASSERT_EQ(
        AudioQueueNewOutput(&format, Returns::callback, &returns, nullptr, nullptr, 0, &queue),
        noErr);
    AudioQueueBufferRef buffers[4];
    EXPECT_EQ(AudioQueueAllocateBuffer(queue, 0, &buffers[0]), kAudioQueueErr_InvalidParameter);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(AudioQueueAllocateBuffer(queue, 3200, &buffers[i]), noErr); // 100 ms
        static_cast<int16_t*>(buffers[i]->mAudioData)[0] = int16_t(10 + i);
        buffers[i]->mAudioDataByteSize = i < 3 ? 320 : 3200;
    }
    // Enqueued while stopped, out of allocation order: they wait for the start.
    const int enqueueOrder[3] = {2, 0, 1};
    for (int i : enqueueOrder) {
        ASSERT_EQ(AudioQueueEnqueueBuffer(queue, buffers[i], 0, nullptr), noErr);
    }
    EXPECT_EQ(AudioQueueEnqueueBuffer(queue, buffers[0], 0, nullptr),
              kAudioQueueErr_InvalidBuffer); // already queued
    ASSERT_EQ(AudioQueueStart(queue, nullptr), noErr);
    ASSERT_TRUE(speaker.recording().waitForBuffers(3));
    while (returns.count.load() < 3) // each callback follows its recording
        std::this_thread::yield();
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(returns.order[k], buffers[enqueueOrder[k]]);
        EXPECT_EQ(speaker.recording().samples()[k * 160], 10 + enqueueOrder[k]);
    }

    // A 100 ms buffer, stopped a fifth of the way in: never handed back.
    ASSERT_EQ(AudioQueueEnqueueBuffer(queue, buffers[3], 0, nullptr), noErr);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(AudioQueueFreeBuffer(queue, buffers[3]), kAudioQueueErr_InvalidBuffer); // in use
    ASSERT_EQ(AudioQueueStop(queue, true), noErr);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(returns.count.load(), 3);
    EXPECT_EQ(speaker.backendsStopped(), 1);

    // Stopped: every buffer is the application's again, to enqueue or free.
    for (AudioQueueBufferRef b : buffers) {
        EXPECT_EQ(AudioQueueEnqueueBuffer(queue, b, 0, nullptr), noErr);
    }
    EXPECT_EQ(AudioQueueFreeBuffer(queue, buffers[3]), noErr); // leaves the FIFO too
    EXPECT_EQ(AudioQueueFreeBuffer(queue, buffers[3]), kAudioQueueErr_InvalidBuffer);
    ASSERT_EQ(AudioQueueStart(queue, nullptr), noErr);
    ASSERT_TRUE(speaker.recording().waitForBuffers(6));
    EXPECT_EQ(AudioQueueDispose(queue, true), noErr); // frees the rest, running or not
    EXPECT_EQ(speaker.backendsStopped(), 2);
}
