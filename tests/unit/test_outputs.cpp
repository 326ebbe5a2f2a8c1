// The two outputs over recording back ends. The speaker player: nothing
// primed, three frames straight into the buffers and ten waiting at most,
// short frames padded. The virtual microphone's client side: frames while
// open, nothing otherwise, each connection closed once.
// (A failed start, buffers left idle, a missing server and failing writes are
// checked by the audio suite.)
#include "AudioPlayer.h"
#include "MicDevice.h"
#include "RecordingAudioBackend.h"
#include "RecordingMicDriver.h"

#include <AudioToolbox/AudioToolbox.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

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

// (Whole 960-sample frames, the connection type and the close after a session
// are checked by sessions.)
// A buffer waiting in the queue cannot be queued twice (it would play twice).
TEST(AudioQueueTest, AQueuedBufferIsNotEnqueuedAgain) {
    RecordingAudioBackendInstaller speaker;
    AudioStreamBasicDescription format{};
    format.mSampleRate = 48000;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kLinearPCMFormatFlagIsSignedInteger | kLinearPCMFormatFlagIsPacked;
    format.mBytesPerPacket = format.mBytesPerFrame = 2;
    format.mFramesPerPacket = format.mChannelsPerFrame = 1;
    format.mBitsPerChannel = 16;
    AudioQueueRef queue = nullptr;
    auto ignore = [](void*, AudioQueueRef, AudioQueueBufferRef) {};
    ASSERT_EQ(AudioQueueNewOutput(&format, ignore, nullptr, nullptr, nullptr, 0, &queue), noErr);
    AudioQueueBufferRef buffer = nullptr;
    ASSERT_EQ(AudioQueueAllocateBuffer(queue, 1920, &buffer), noErr);
    buffer->mAudioDataByteSize = 1920;
    ASSERT_EQ(AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr), noErr);
    EXPECT_EQ(AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr), kAudioQueueErr_InvalidBuffer);
    EXPECT_EQ(AudioQueueDispose(queue, true), noErr);
}

TEST(MicDeviceTest, FramesReachTheDriverWholeOnlyWhileOpenAndEachConnectionClosesOnce) {
    RecordingMicDriverInstaller mic;
    auto device = std::make_unique<MicDevice>();
    std::vector<short> small(320);
    for (size_t i = 0; i < small.size(); ++i)
        small[i] = short(i * 31 - 500);
    EXPECT_FALSE(device->write(small.data(), 320)); // before open
    ASSERT_EQ(device->open(), 1);
    EXPECT_TRUE(device->write(small.data(), 320));
    EXPECT_TRUE(device->write(nullptr, 0));
    // Counts the request cannot carry are refused before any call.
    for (int bad : {-1, 961})
        EXPECT_FALSE(device->write(small.data(), bad)) << bad;
    EXPECT_FALSE(device->write(nullptr, 10));
    ASSERT_EQ(device->open(), 1); // reopening does not strand the first connection
    EXPECT_EQ(mic->openConnections(), 1);
    device->close();
    const int closes = mic->closes.load();
    device->close();
    device.reset();
    EXPECT_EQ(mic->closes.load(), closes) << "closed once, not again by the destructor";
    EXPECT_EQ(mic->malformedCount(), 0);
    std::vector<MicFrame> frames = mic->frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].pcm(), std::vector<int16_t>(small.begin(), small.end()));
    EXPECT_EQ(frames[1].sampleCount, 0);
    {
        MicDevice open;
        ASSERT_EQ(open.open(), 1);
    } // the destructor closes an open device
    EXPECT_EQ(mic->openConnections(), 0);

    // A missing or refusing driver: closed, quiet, nothing written.
    MicDevice other;
    mic->available = false;
    testing::internal::CaptureStderr();
    EXPECT_EQ(other.open(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    mic->available = true;
    mic->refuseOpen = true;
    const int closesBefore = mic->closes.load();
    EXPECT_EQ(other.open(), 0);
    EXPECT_EQ(mic->closes.load(), closesBefore);
    EXPECT_FALSE(other.write(small.data(), 1));
    EXPECT_EQ(mic->frames().size(), 2u);
}

} // namespace
