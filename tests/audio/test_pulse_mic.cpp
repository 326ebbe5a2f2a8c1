// The virtual microphone driver and the speaker's back end against a private
// sound server whose default sink is the stand-in speaker "test_speaker":
// what the driver loads and removes, what reaches "voxlet_mic" and the speaker,
// and what the driver refuses.
#include "AudioPlayer.h"
#include "MicDevice.h"
#include "PulseTestUtil.h"

#include <IOKit/IOKitLib.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

using namespace pulsetest;

namespace {

constexpr int kFrame = 960;

io_connect_t openConnection() {
    io_iterator_t it = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault,
                                     IOServiceMatching(MicDevice::kServiceClass), &it) != 0)
        return 0;
    io_service_t service = IOIteratorNext(it);
    IOObjectRelease(it);
    io_connect_t c = 0;
    if (IOServiceOpen(service, mach_task_self(), 0, &c) != 0)
        return 0;
    return c;
}

IOReturn callWrite(io_connect_t c, const MicWriteRequest& r, size_t size = sizeof(MicWriteRequest),
                   uint32_t selector = 2) {
    uint64_t out = 0;
    uint32_t outCount = 1;
    return IOConnectCallMethod(c, selector, nullptr, 0, &r, size, &out, &outCount, nullptr,
                               nullptr);
}

std::string hostTag(pid_t pid) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return std::string(host) + ":" + std::to_string(pid);
}

// Loads the feed sink and remap source as a client with `owner` would have.
void loadAs(const std::string& owner) {
    int rc = 0;
    pactl({"load-module", "module-null-sink", "sink_name=voxlet_mic_feed", "format=s16le",
           "rate=48000", "channels=1", "channel_map=mono", "norewinds=1",
           "sink_properties=voxlet.owner=\"" + owner + "\""},
          &rc);
    ASSERT_EQ(rc, 0);
    pactl({"load-module", "module-remap-source", "source_name=voxlet_mic",
           "master=voxlet_mic_feed.monitor", "channels=1", "channel_map=mono",
           "source_properties=voxlet.owner=\"" + owner + "\""},
          &rc);
    ASSERT_EQ(rc, 0);
}

class PulseMic : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_PRIVATE_SERVER();
        unloadMicModules();
    }
    void TearDown() override {
        if (!whyNoPrivateServer().empty())
            return;
        unloadMicModules();
        pactl({"set-default-sink", "test_speaker"});
    }
};

// Connections share one source; the last one closed removes everything. On
// PipeWire the source is our own node and nothing else is shown.
TEST_F(PulseMic, PublishesAMonoSourceWithoutTouchingDefaultsUntilTheLastClose) {
    const std::string sinkBefore = defaultDevice("get-default-sink");
    const std::string sourceBefore = defaultDevice("get-default-source");
    MicDevice first, second;
    EXPECT_EQ(first.isActive(), 1);
    ASSERT_EQ(first.open(), 1);
    ASSERT_EQ(second.open(), 1);

    auto rows = shortList("sources", "voxlet_mic");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][3], "s16le 1ch 48000Hz");
    const std::string sources = pactl({"list", "sources"});
    const std::string ours = sources.substr(sources.find("Name: voxlet_mic\n"));
    for (const char* expected :
         {"Description: Voxlet Microphone\n", "device.icon_name = \"audio-input-microphone\"",
          "device.class = \"sound\"", "Channel Map: mono\n"})
        EXPECT_NE(ours.find(expected), std::string::npos) << expected;
    EXPECT_EQ(micModules().size(), micModuleCount());
    if (onPipeWire()) {
        EXPECT_NE(ours.find("media.class = \"Audio/Source\""), std::string::npos);
        EXPECT_EQ(pactl({"list", "short", "sinks"}).find("voxlet"), std::string::npos);
        EXPECT_EQ(shortList("sources").size(), 2u); // ours and test_speaker.monitor
    }
    EXPECT_EQ(defaultDevice("get-default-sink"), sinkBefore);
    EXPECT_EQ(defaultDevice("get-default-source"), sourceBefore);

    short frame[kFrame] = {};
    first.close();
    EXPECT_TRUE(hasSource("voxlet_mic"));
    EXPECT_TRUE(second.write(frame, kFrame));
    second.close();
    EXPECT_TRUE(micGone());
    EXPECT_FALSE(second.write(frame, kFrame));
    EXPECT_EQ(defaultDevice("get-default-sink"), sinkBefore);
}

// Writes `frames` counter frames into a fresh connection, `periodUs` apart,
// while recording voxlet_mic; the counter makes every lost, repeated or
// altered sample visible. With `stallAfter`, the writes stop for 300 ms after
// that many frames.
Continuity writeCounter(int frames, long periodUs, int* failed, int stallAfter = -1) {
    MicDevice mic;
    EXPECT_EQ(mic.open(), 1);
    Recorder rec("voxlet_mic", 1);
    sleepMs(300);
    long next = 0;
    short frame[kFrame];
    auto write = [&](int) {
        counterFrame(frame, kFrame, next);
        *failed += !mic.write(frame, kFrame);
    };
    if (stallAfter >= 0) {
        paced(stallAfter, periodUs, write);
        sleepMs(300);
        frames -= stallAfter;
    }
    paced(frames, periodUs, write);
    sleepMs(300);
    return continuity(rec.stop());
}

// A stall is heard as silence (the source's clock runs on), and what follows
// it is not dropped.
TEST_F(PulseMic, DeliversEveryFrameBitExactAndInOrderWithSilenceForAStall) {
    int failed = 0;
    Continuity c = writeCounter(150, 20000, &failed, 75);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(c.counted, size_t(150) * kFrame);
    EXPECT_EQ(c.silentGaps, 1u);
    EXPECT_TRUE(c.jumps.empty()) << c.jumps.size() << " breaks, first " << c.jumps[0];
}

// A tick 2 % fast would add 20 ms of delay every second; the feed drops whole
// frames instead, and only whole frames.
TEST_F(PulseMic, KeepsTheBacklogBoundedWhenTheTickRunsFast) {
    int failed = 0;
    const int frames = 400; // 8 s at 19.6 ms: 160 ms more audio than time
    Continuity c = writeCounter(frames, 19600, &failed);
    EXPECT_GE(c.jumps.size(), 4u); // without trimming: no jump, 160 ms queued
    EXPECT_LE(c.jumps.size(), 10u);
    for (long skipped : c.jumps)
        EXPECT_EQ(skipped, kFrame) << ::testing::PrintToString(c.jumps);
    EXPECT_EQ(c.silentGaps, 0u);
    // The rest is whole frames too (a drop on the last frames shows as no jump).
    const size_t missing = size_t(frames) * kFrame - c.counted - c.jumps.size() * kFrame;
    EXPECT_EQ(missing % kFrame, 0u);
    EXPECT_LE(missing, size_t(kFrame));
}

TEST_F(PulseMic, RefusesMalformedRequestsAndWritesNothing) {
    io_connect_t c = openConnection();
    ASSERT_NE(c, 0u);
    Recorder rec("voxlet_mic", 1);
    sleepMs(200);
    MicWriteRequest r;
    std::fill(std::begin(r.samples), std::end(r.samples), short(1000));
    for (int count : {961, -1, 100000}) {
        r.sampleCount = count;
        EXPECT_NE(callWrite(c, r), kIOReturnSuccess) << count;
    }
    r.sampleCount = kFrame;
    EXPECT_NE(callWrite(c, r, sizeof r - 1), kIOReturnSuccess);
    EXPECT_NE(callWrite(c, r, sizeof r, 1), kIOReturnSuccess);
    EXPECT_NE(IOConnectCallMethod(c, 2, nullptr, 0, nullptr, sizeof r, nullptr, nullptr, nullptr,
                                  nullptr),
              kIOReturnSuccess);
    r.sampleCount = 0;
    EXPECT_EQ(callWrite(c, r), kIOReturnSuccess);
    uint64_t result = 0; // a result slot without its count is left alone
    EXPECT_EQ(
        IOConnectCallMethod(c, 2, nullptr, 0, &r, sizeof r, &result, nullptr, nullptr, nullptr),
        kIOReturnSuccess);
    sleepMs(300);
    std::vector<int16_t> recorded = rec.stop();
    IOServiceClose(c);

    ASSERT_GT(recorded.size(), 4800u);
    EXPECT_TRUE(std::all_of(recorded.begin(), recorded.end(), [](int16_t s) { return s == 0; }));
}

// A killed client leaves its modules behind: the next open removes them. A
// client still running keeps its source; this one then goes without.
TEST_F(PulseMic, RemovesLeftoversOfDeadClientsButNotOfLiveOnes) {
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    ASSERT_GT(dead, 0);
    waitpid(dead, nullptr, 0);
    loadAs(hostTag(dead));
    ASSERT_EQ(micModules().size(), 2u);
    std::vector<std::string> leftovers = micModules();
    {
        MicDevice mic;
        ASSERT_EQ(mic.open(), 1);
        std::vector<std::string> now = micModules();
        EXPECT_EQ(now.size(), micModuleCount());
        EXPECT_EQ(shortList("sources", "voxlet_mic").size(), 1u);
        for (const std::string& m : leftovers)
            EXPECT_EQ(std::count(now.begin(), now.end(), m), 0) << m << " is still loaded";
    }
    EXPECT_TRUE(micGone());

    loadAs(hostTag(getppid()));
    leftovers = micModules();
    {
        MicDevice mic;
        EXPECT_EQ(mic.open(), 0);
        EXPECT_EQ(micModules(), leftovers);
    }
    EXPECT_EQ(micModules(), leftovers);
}

// An idle speaker sleeps; counter frames handed in at the tick's pace then
// come out of the real speaker whole and in order, even when a server with no
// default before the microphone's feed appeared made the feed its default sink
// (PipeWire has no feed sink).
TEST_F(PulseMic, SpeakerPlaysEveryFrameInOrderOnTheRealSinkNeverIntoTheFeed) {
    MicDevice mic;
    ASSERT_EQ(mic.open(), 1);
    int rc = 0;
    if (!onPipeWire())
        pactl({"set-default-sink", "voxlet_mic_feed"}, &rc);
    ASSERT_EQ(rc, 0);
    Recorder speaker("test_speaker.monitor", 2);
    Recorder microphone("voxlet_mic", 1);
    sleepMs(200);
    int refused = 0;
    {
        AudioPlayer player(48000, 20);
        ASSERT_EQ(player.open(), 0);
        // Handed nothing, the speaker's thread sleeps (it used to wake 50-100
        // times a second to feed silence).
        sleepMs(100);
        const long idleFrom = threadSwitches(getpid(), "vx-speaker");
        sleepMs(400);
        EXPECT_LE(threadSwitches(getpid(), "vx-speaker") - idleFrom, 2);
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
