#include "AudioPlayer.h"
#include "RecordingAudioBackend.h"

#include <darwin/AudioQueueBackend.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::vector<short> constantFrame(int size, short value) {
    return std::vector<short>(size, value);
}

// Samples [first, first + count) of a recording.
std::vector<int16_t> slice(const std::vector<int16_t>& all, size_t first, size_t count) {
    return std::vector<int16_t>(all.begin() + first, all.begin() + first + count);
}

bool allZero(const std::vector<int16_t>& samples) {
    return std::all_of(samples.begin(), samples.end(), [](int16_t s) { return s == 0; });
}

} // namespace

TEST(AudioPlayerTest, OpenPrimesThreeSilentBuffersOfOneFrame) {
    struct Case {
        int rate;
        int frameSize;
    };
    for (Case c : {Case{48000, 960}, Case{16000, 320}}) {
        RecordingAudioBackendInstaller speaker;
        AudioPlayer player(c.rate, 20);
        EXPECT_EQ(player.getFrameSize(), c.frameSize);
        EXPECT_EQ(player.getState(), 1);
        ASSERT_EQ(player.open(), 0);
        EXPECT_EQ(player.getState(), 2);

        ASSERT_TRUE(speaker.recording().waitForBuffers(3));
        std::vector<uint32_t> sizes = speaker.recording().bufferSizes();
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(sizes[i], uint32_t(c.frameSize * 2)) << c.rate;
        }
        EXPECT_TRUE(allZero(slice(speaker.recording().samples(), 0, 3 * c.frameSize)));
        player.close();
    }
}

TEST(AudioPlayerTest, TenFramesWaitInOrderTheEleventhIsDroppedThenSilence) {
    RecordingAudioBackendInstaller speaker;
    speaker.setHeld(true); // no buffer comes back while the frames are handed in
    AudioPlayer player(16000, 20);
    const int n = player.getFrameSize();
    EXPECT_EQ(player.play(constantFrame(n, 99).data(), n), -1); // not open yet
    ASSERT_EQ(player.open(), 0);
    for (short f = 1; f <= 10; ++f) {
        EXPECT_EQ(player.play(constantFrame(n, f).data(), n), 0) << "frame " << f;
    }
    EXPECT_EQ(player.play(constantFrame(n, 11).data(), n), -1);

    speaker.setHeld(false);
    ASSERT_TRUE(speaker.recording().waitForBuffers(16));
    std::vector<int16_t> played = speaker.recording().samples();
    EXPECT_TRUE(allZero(slice(played, 0, 3 * n))); // the primed buffers
    for (int f = 1; f <= 10; ++f) {
        EXPECT_EQ(slice(played, (2 + f) * n, n), std::vector<int16_t>(n, int16_t(f)))
            << "frame " << f;
    }
    EXPECT_TRUE(allZero(slice(played, 13 * n, 3 * n))); // nothing waits: silence, no gap

    // Refills run on the queue's one thread, not the caller's.
    std::vector<std::thread::id> threads = speaker.recording().threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(threads[0], std::this_thread::get_id());
    player.close();
    EXPECT_EQ(player.getState(), 1);
    EXPECT_EQ(player.play(constantFrame(n, 99).data(), n), -1);
}

TEST(AudioPlayerTest, ShortFrameIsPaddedWithSilenceNotOverread) {
    RecordingAudioBackendInstaller speaker;
    speaker.setHeld(true);
    AudioPlayer player(16000, 20);
    ASSERT_EQ(player.open(), 0);
    std::vector<short> shortFrame(100, 9); // exactly 100 samples: ASan sees any overread
    EXPECT_EQ(player.play(shortFrame.data(), 100), 0);
    speaker.setHeld(false);
    ASSERT_TRUE(speaker.recording().waitForBuffers(4));
    std::vector<int16_t> fourth = slice(speaker.recording().samples(), 3 * 320, 320);
    EXPECT_EQ(slice(fourth, 0, 100), std::vector<int16_t>(100, 9));
    EXPECT_TRUE(allZero(slice(fourth, 100, 220)));
    player.close();
}

TEST(AudioPlayerTest, OpenReportsAStartFailureAndStaysReady) {
    darwin::AudioQueueSetBackendFactory([] { return nullptr; }); // no output at all
    {
        AudioPlayer player(48000, 20);
        EXPECT_NE(player.open(), 0);
        EXPECT_EQ(player.getState(), 1);
        std::vector<short> frame = constantFrame(960, 1);
        EXPECT_EQ(player.play(frame.data(), 960), -1);
        player.close();
    }
    darwin::AudioQueueSetBackendFactory({});
}

TEST(AudioPlayerTest, DestructionStopsTheQueueInEveryState) {
    RecordingAudioBackendInstaller speaker;
    {
        AudioPlayer closed(48000, 20);
        ASSERT_EQ(closed.open(), 0);
        closed.close();
    }
    EXPECT_EQ(speaker.backendsStopped(), 1);
    {
        // Destroyed while its buffers cycle through the queue's thread.
        AudioPlayer playing(48000, 20);
        ASSERT_EQ(playing.open(), 0);
        ASSERT_TRUE(speaker.recording().waitForBuffers(5));
    }
    EXPECT_EQ(speaker.backendsStopped(), 2);
    const int played = speaker.recording().buffersPlayed();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(speaker.recording().buffersPlayed(), played);
}
