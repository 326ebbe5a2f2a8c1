// The playout tick's rules, driven directly: late-drop, hold and silence, and
// sequence wrap-around at 2^32.
#include "MicController.h"
#include "RecordingMicDriver.h"
#include "Statistics.h"

#include <gtest/gtest.h>

#include <vector>

class MicControllerProbe {
  public:
    explicit MicControllerProbe(int frameSamples) : controller(nullptr) {
        mic->clear();
        controller.mFrameSamples = frameSamples;
        controller.mPlayoutQueue.open(frameSamples);
        controller.mPlayBuffer = new short[frameSamples]();
        controller.mHoldTicks = MicController::kHoldTicks;
        controller.mNextSequence = 0;
        controller.mState.store(StateConnected);
        controller.mMicDevice.open();
        Statistics::getInstance()->reset();
    }
    ~MicControllerProbe() {
        controller.mState.store(StateIdle);
        controller.mMicDevice.close();
    }

    void queue(uint32_t sequence, short fill) {
        PlayoutPacket p;
        p.sequence = sequence;
        for (short& s : p.samples)
            s = fill;
        ASSERT_TRUE(controller.mPlayoutQueue.put(&p));
    }
    // Runs one tick and returns what it wrote to the microphone (its first
    // sample; the whole frame is checked to be uniform), or -1 for no write.
    short tick() {
        int before = mic->writeCount();
        controller.onTimerEvent();
        if (mic->writeCount() == before)
            return -1;
        MicFrame frame = mic->frames().back();
        EXPECT_EQ(frame.sampleCount, controller.mFrameSamples);
        for (int i = 0; i < frame.sampleCount; ++i)
            EXPECT_EQ(frame.samples[i], frame.samples[0]) << "sample " << i;
        return frame.samples[0];
    }
    uint32_t& nextSequence() { return controller.mNextSequence; }
    int queued() { return controller.mPlayoutQueue.getCount(); }
    void setState(int state) { controller.mState.store(state); }

    RecordingMicDriverInstaller mic; // constructed first: the controller's device opens it
    MicController controller;
};

namespace {

int oldDrops() {
    return Statistics::getInstance()->oldDropCount;
}

TEST(PlayoutTick, DropsLateFramesAndPlaysTheFirstOnTime) {
    MicControllerProbe probe(960);
    probe.nextSequence() = 8;
    probe.queue(7, 70);
    probe.queue(8, 80);
    EXPECT_EQ(probe.tick(), 80);
    EXPECT_EQ(oldDrops(), 1);
    EXPECT_EQ(probe.nextSequence(), 9u);
    EXPECT_EQ(probe.queued(), 0);
}

TEST(PlayoutTick, WhenEveryQueuedFrameIsLateTheLastIsStillPlayed) {
    MicControllerProbe probe(320);
    probe.nextSequence() = 8;
    probe.queue(5, 50);
    probe.queue(6, 60);
    EXPECT_EQ(probe.tick(), 60);
    EXPECT_EQ(oldDrops(), 2);
    EXPECT_EQ(probe.nextSequence(), 8u);
}

TEST(PlayoutTick, StopsLookingAtTheFirstFrameOnTime) {
    MicControllerProbe probe(960);
    probe.queue(0, 1);
    probe.queue(1, 2);
    EXPECT_EQ(probe.tick(), 1);
    EXPECT_EQ(probe.queued(), 1);
    EXPECT_EQ(probe.tick(), 2);
    EXPECT_EQ(oldDrops(), 0);
}

TEST(PlayoutTick, HoldsAFrameForFourEmptyTicksThenPlaysSilence) {
    MicControllerProbe probe(960);
    EXPECT_EQ(probe.tick(), 0) << "a session starts silent";
    probe.queue(0, 42);
    std::vector<short> heard;
    for (int i = 0; i < 8; ++i)
        heard.push_back(probe.tick());
    EXPECT_EQ(heard, (std::vector<short>{42, 42, 42, 42, 42, 0, 0, 0}));

    // A fresh frame after a long gap is heard again and held again.
    for (int i = 0; i < 100; ++i)
        probe.tick();
    probe.queue(1, 7);
    EXPECT_EQ(probe.tick(), 7);
    EXPECT_EQ(probe.tick(), 7);
}

TEST(PlayoutTick, SequenceWrapsAt32Bits) {
    MicControllerProbe probe(960);
    probe.nextSequence() = 4294967290u;
    probe.queue(4294967295u, 9);
    EXPECT_EQ(probe.tick(), 9);
    EXPECT_EQ(probe.nextSequence(), 0u);
    probe.queue(0, 10);
    EXPECT_EQ(probe.tick(), 10);
    EXPECT_EQ(probe.nextSequence(), 1u);
    EXPECT_EQ(oldDrops(), 0);
}

TEST(PlayoutTick, DoesNothingOutsideTheConnectedState) {
    MicControllerProbe probe(960);
    probe.queue(0, 5);
    probe.setState(StateDisconnecting);
    EXPECT_EQ(probe.tick(), -1) << "nothing is written during state 3";
    EXPECT_EQ(probe.queued(), 1) << "no frame is taken during state 3";
    probe.setState(StateConnected);
    EXPECT_EQ(probe.tick(), 5);
}

TEST(Statistics, TimeFormatAndReport) {
    Statistics* s = Statistics::getInstance();
    testing::internal::CaptureStdout();
    s->printTime(3723004);
    s->printTime(0);
    s->printTime(90000000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "01:02:03 00400:00:00 00025:00:00 000");

    s->reset();
    s->rxCount = 3;
    s->maxDelta = 61;
    s->startTime = 1000;
    testing::internal::CaptureStdout();
    s->print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Start:\t00:00:01 000\r\nEnd:\t00:00:00 000\r\nrxCount: 3\r\nmax delta : 61\r\n"
              "dropped packets due to being old: 0\r\n"
              "dropped packets due that buffer is full: 0\r\n"
              "Period min: 1, max: 1\r\nOS version: 0.0, \r\n");
    EXPECT_EQ(Statistics::getInstance(), s);
}

} // namespace
