// The speaker player over a recording back end: nothing primed, three frames
// straight into the buffers and ten waiting at most, short frames padded.
// Then the queue's own contract beyond what the player exercises.
// (A failed start, and buffers left idle with nothing to play, are checked by
// the audio suite.)
#include "AudioPlayer.h"
#include "RecordingAudioBackend.h"

#include <AudioToolbox/AudioToolbox.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

std::vector<int16_t> slice(const std::vector<int16_t>& all, size_t first, size_t count) {
    return std::vector<int16_t>(all.begin() + (long)first, all.begin() + (long)(first + count));
}

TEST(AudioPlayerTest, ThirteenFramesPlayInOrderTheFourteenthIsDroppedThenNothingUntilTheNext) {
    for (int rate : {48000, 16000}) {
        SCOPED_TRACE(rate);
        RecordingAudioBackendInstaller speaker;
        speaker.setHeld(true); // no buffer comes back while the frames are handed in
        AudioPlayer player(rate, 20);
        const int n = rate / 50;
        std::vector<short> frame(n, 99);
        EXPECT_EQ(player.play(frame.data(), n), -1); // not open yet
        ASSERT_EQ(player.open(), 0);
        for (short f = 1; f <= 14; ++f) {
            // The last one that fits is short: exactly 100 samples, so ASan sees
            // any overread; it is padded with silence.
            std::vector<short> sent(f == 13 ? 100 : n, f);
            EXPECT_EQ(player.play(sent.data(), (int)sent.size()), f <= 13 ? 0 : -1)
                << "frame " << f;
        }
        speaker.setHeld(false);
        ASSERT_TRUE(speaker.recording().waitForBuffers(13));
        std::vector<int16_t> played = speaker.recording().samples();
        ASSERT_EQ(played.size(), size_t(13 * n));
        for (int f = 1; f <= 13; ++f) {
            const int sent = f == 13 ? 100 : n;
            EXPECT_EQ(slice(played, (f - 1) * n, sent), std::vector<int16_t>(sent, int16_t(f)))
                << f;
            EXPECT_EQ(slice(played, (f - 1) * n + sent, n - sent), std::vector<int16_t>(n - sent))
                << "padding of " << f;
        }
        // The next frames go straight into used buffers, a short one padded afresh.
        EXPECT_EQ(player.play(frame.data(), n), 0);
        EXPECT_EQ(player.play(std::vector<short>(100, 15).data(), 100), 0);
        ASSERT_TRUE(speaker.recording().waitForBuffers(15));
        played = speaker.recording().samples();
        EXPECT_EQ(slice(played, 14 * n, 100), std::vector<int16_t>(100, 15));
        EXPECT_EQ(slice(played, 14 * n + 100, n - 100), std::vector<int16_t>(n - 100));
        // Refills run on the queue's one thread, not the caller's.
        std::vector<std::thread::id> threads = speaker.recording().threads();
        ASSERT_EQ(threads.size(), 1u);
        EXPECT_NE(threads[0], std::this_thread::get_id());
        player.close();
        EXPECT_EQ(speaker.backendsStopped(), 1);
        EXPECT_EQ(player.getState(), 1);
        EXPECT_EQ(player.play(frame.data(), n), -1);
    }
}

// Destroyed while its buffers cycle, without a close: the stop joins the thread.
TEST(AudioPlayerTest, DestructionStopsAPlayingQueue) {
    RecordingAudioBackendInstaller speaker;
    {
        AudioPlayer playing(48000, 20);
        ASSERT_EQ(playing.open(), 0);
        std::vector<short> frame(960, 1);
        for (int i = 0; i < 8; ++i)
            playing.play(frame.data(), 960);
        ASSERT_TRUE(speaker.recording().waitForBuffers(5));
    }
    EXPECT_EQ(speaker.backendsStopped(), 1);
}

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

} // namespace
