// The speaker player over a recording back end: nothing primed, three frames
// straight into the buffers and ten waiting at most, short frames padded,
// every state torn down.
#include "AudioPlayer.h"
#include "RecordingAudioBackend.h"

#include <gtest/gtest.h>

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
        // Buffers that come back with nothing waiting stay idle: no silence.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(speaker.recording().buffersPlayed(), 13);
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
        EXPECT_EQ(player.getState(), 1);
        EXPECT_EQ(player.play(frame.data(), n), -1);
    }
}

TEST(AudioPlayerTest, OpenReportsAStartFailureAndStaysReady) {
    darwin::AudioQueueSetBackendFactory([] { return nullptr; }); // no output at all
    {
        AudioPlayer player(48000, 20);
        EXPECT_NE(player.open(), 0);
        EXPECT_EQ(player.getState(), 1);
        std::vector<short> frame(960, 1);
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
        AudioPlayer playing(48000, 20); // destroyed while its buffers cycle
        ASSERT_EQ(playing.open(), 0);
        std::vector<short> frame(960, 1);
        for (int i = 0; i < 8; ++i)
            playing.play(frame.data(), 960);
        ASSERT_TRUE(speaker.recording().waitForBuffers(5));
    }
    EXPECT_EQ(speaker.backendsStopped(), 2) << "the stop joined the playing thread";
}

} // namespace
