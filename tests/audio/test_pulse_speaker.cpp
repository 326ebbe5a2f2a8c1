// The speaker's audio queue back end against a private PulseAudio server, whose
// default sink is the stand-in speaker "test_speaker".
#include "AudioPlayer.h"
#include "MicDevice.h"
#include "PulseTestUtil.h"

#include <algorithm>

using namespace pulsetest;

namespace {

constexpr int kFrame = 960;

class PulseSpeaker : public ::testing::Test {
  protected:
    void SetUp() override { REQUIRE_PRIVATE_SERVER(); }
    void TearDown() override {
        if (whyNoPrivateServer().empty())
            pactl({"set-default-sink", "test_speaker"});
    }
};

// Counter frames handed in at the tick's pace come out of the real speaker
// whole and in order, even when a server with no default before the
// microphone's feed appeared made the feed its default sink.
TEST_F(PulseSpeaker, PlaysEveryFrameInOrderNeverIntoTheMicrophoneFeed) {
    MicDevice mic;
    ASSERT_EQ(mic.open(), 1);
    int rc = 0;
    pactl({"set-default-sink", "voxlet_mic_feed"}, &rc);
    ASSERT_EQ(rc, 0);
    Recorder speaker("test_speaker.monitor", 2);
    Recorder microphone("voxlet_mic", 1);
    sleepMs(200);
    int refused = 0;
    {
        AudioPlayer player(48000, 20);
        ASSERT_EQ(player.open(), 0);
        long next = 0;
        short frame[kFrame];
        paced(100, 20000, [&](int) {
            counterFrame(frame, kFrame, next);
            refused += player.play(frame, kFrame) != 0;
        });
        sleepMs(200);
        player.close();
    }
    std::vector<int16_t> heard = microphone.stop();
    Continuity c = continuity(speaker.stop());
    mic.close();

    EXPECT_EQ(refused, 0);
    EXPECT_EQ(c.counted, size_t(100) * kFrame);
    EXPECT_TRUE(c.jumps.empty()) << c.jumps.size() << " breaks, first " << c.jumps[0];
    ASSERT_GT(heard.size(), 4800u);
    EXPECT_TRUE(std::all_of(heard.begin(), heard.end(), [](int16_t s) { return s == 0; }));
}

} // namespace
