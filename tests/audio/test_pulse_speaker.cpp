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

// Counter frames handed in at the tick's pace come out of the speaker whole
// and in order: no frame lost, repeated or reordered by the queue.
TEST_F(PulseSpeaker, PlaysEveryFrameInOrderOnTheDefaultSink) {
    Recorder rec("test_speaker.monitor", 2);
    sleepMs(200);
    AudioPlayer player(48000, 20);
    ASSERT_EQ(player.open(), 0);
    const int frames = 100;
    long next = 0;
    short frame[kFrame];
    int refused = 0;
    paced(frames, 20000, [&](int) {
        counterFrame(frame, kFrame, next);
        refused += player.play(frame, kFrame) != 0;
    });
    sleepMs(300);
    player.close();
    Continuity c = continuity(rec.stop());

    EXPECT_EQ(refused, 0);
    EXPECT_EQ(c.counted, size_t(frames) * kFrame);
    EXPECT_TRUE(c.jumps.empty()) << c.jumps.size() << " breaks, first " << c.jumps[0];
}

// A server with no default before the microphone's feed appeared may make the
// feed its default sink: the speaker must still play on the real speaker, not
// into the microphone.
TEST_F(PulseSpeaker, NeverPlaysIntoTheMicrophoneFeed) {
    MicDevice mic;
    ASSERT_EQ(mic.open(), 1);
    int rc = 0;
    pactl({"set-default-sink", "voxlet_mic_feed"}, &rc);
    ASSERT_EQ(rc, 0);
    Recorder speaker("test_speaker.monitor", 2);
    Recorder microphone("voxlet_mic", 1);
    sleepMs(200);
    {
        AudioPlayer player(48000, 20);
        ASSERT_EQ(player.open(), 0);
        long next = 0;
        short frame[kFrame];
        paced(50, 20000, [&](int) {
            counterFrame(frame, kFrame, next);
            player.play(frame, kFrame);
        });
        sleepMs(200);
        player.close();
    }
    std::vector<int16_t> heard = microphone.stop();
    Continuity c = continuity(speaker.stop());
    mic.close();

    EXPECT_EQ(c.counted, size_t(50) * kFrame);
    ASSERT_GT(heard.size(), 4800u);
    EXPECT_TRUE(std::all_of(heard.begin(), heard.end(), [](int16_t s) { return s == 0; }));
}

} // namespace
