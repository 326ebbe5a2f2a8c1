// The virtual microphone driver and the speaker's back end against a private
// sound server whose default sink is the stand-in speaker "test_speaker":
// what the driver loads and removes, what reaches "voxlet_mic" and the speaker,
// what the driver refuses, and a server of the test's own dying and returning.
#include "AudioPlayer.h"
#include "MicDevice.h"
#include "PulseTestUtil.h"

#include <IOKit/IOKitLib.h>

#include <sys/wait.h>
#include <unistd.h>

#include <future>

using namespace pulsetest;

namespace {

constexpr int kFrame = 960;

// A connection of our own to the driver, for requests MicDevice never sends.
io_connect_t openConnection() {
    io_iterator_t it = 0;
    io_connect_t c = 0;
    IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching(MicDevice::kServiceClass),
                                 &it);
    IOServiceOpen(IOIteratorNext(it), mach_task_self(), 0, &c);
    IOObjectRelease(it);
    return c;
}

// A write whose result slot comes without its count: the slot is left alone.
IOReturn callWrite(io_connect_t c, const MicWriteRequest* r, size_t size = sizeof(MicWriteRequest),
                   uint32_t selector = 2) {
    uint64_t out = 0;
    return IOConnectCallMethod(c, selector, nullptr, 0, r, size, &out, nullptr, nullptr, nullptr);
}

// Loads the feed sink and remap source as client `pid` on this host would have.
void loadAs(pid_t pid) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string owner =
        "voxlet.owner=\"" + std::string(host) + ":" + std::to_string(pid) + "\"";
    pactl({"load-module", "module-null-sink", "sink_name=voxlet_mic_feed",
           "sink_properties=" + owner});
    pactl({"load-module", "module-remap-source", "source_name=voxlet_mic",
           "master=voxlet_mic_feed.monitor", "source_properties=" + owner});
}

class PulseMic : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = whyNoPrivateServer(); !why.empty())
            GTEST_SKIP() << why;
        unloadMicModules();
    }
    void TearDown() override {
        if (IsSkipped())
            return;
        unloadMicModules();
        pactl({"set-default-sink", "test_speaker"});
    }
};

// The next open removes what a killed client left behind; connections then
// share one source, and the last one closed removes everything, all without
// touching the defaults. On PipeWire the source is our own node and nothing
// else is shown. A client still running keeps its source; then a new one goes
// without.
TEST_F(PulseMic, PublishesOneMonoSourceInPlaceOfADeadClientsButNotOfALiveOnes) {
    const std::string sinkBefore = defaultDevice("get-default-sink");
    const std::string sourceBefore = defaultDevice("get-default-source");
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    ASSERT_GT(dead, 0);
    waitpid(dead, nullptr, 0);
    loadAs(dead);
    const std::vector<std::string> leftovers = micModules();
    ASSERT_EQ(leftovers.size(), 2u);
    MicDevice first, second;
    EXPECT_EQ(first.isActive(), 1);
    ASSERT_EQ(first.open(), 1);
    ASSERT_EQ(second.open(), 1);

    const std::vector<std::string> now = micModules();
    EXPECT_EQ(now.size(), onPipeWire() ? 0u : 2u); // a node of our own there
    for (const std::string& m : leftovers)
        EXPECT_EQ(std::count(now.begin(), now.end(), m), 0) << m << " is still loaded";
    auto rows = shortList("sources", "voxlet_mic");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][3], "s16le 1ch 48000Hz");
    const std::string sources = pactl({"list", "sources"});
    const std::string ours = sources.substr(sources.find("Name: voxlet_mic\n"));
    for (const char* expected :
         {"Description: Voxlet Microphone\n", "device.icon_name = \"audio-input-microphone\"",
          "device.class = \"sound\"", "Channel Map: mono\n"})
        EXPECT_NE(ours.find(expected), std::string::npos) << expected;
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

    loadAs(getppid());
    const std::vector<std::string> live = micModules();
    {
        MicDevice mic;
        EXPECT_EQ(mic.open(), 0);
        EXPECT_EQ(micModules(), live);
    }
    EXPECT_EQ(micModules(), live);
}

// Writes `frames` counter frames into a fresh connection, `periodUs` apart,
// while recording voxlet_mic; the counter makes every lost, repeated or
// altered sample visible. With `stallAfter`, the writes stop for 300 ms after
// that many frames. `onSpeakersClock` also links the microphone to the test
// speaker, whose clock then drives the recorder's graph on PipeWire.
// `loopWakes` gets how often libpulse's threads were switched out meanwhile.
Continuity writeCounter(int frames, long periodUs, int* failed, int stallAfter = -1,
                        bool onSpeakersClock = false, long* loopWakes = nullptr) {
    MicDevice mic;
    EXPECT_EQ(mic.open(), 1);
    bool linked = !onSpeakersClock;
    for (int i = 0; i < 50 && !linked; ++i) { // until the new node's port is listed
        linked = Child("/usr/bin/pw-link", {"voxlet_mic:capture_MONO", "test_speaker:playback_FL"})
                     .wait() == 0;
        if (!linked)
            sleepMs(100);
    }
    EXPECT_TRUE(linked);
    Recorder rec("voxlet_mic");
    sleepMs(300);
    long next = 0;
    short frame[kFrame];
    auto write = [&](int) {
        counterFrame(frame, kFrame, next);
        *failed += !mic.write(frame, kFrame);
    };
    const long loopFrom = threadSwitches(getpid(), "threaded-ml");
    if (stallAfter >= 0) {
        paced(stallAfter, periodUs, write);
        sleepMs(300);
        frames -= stallAfter;
    }
    paced(frames, periodUs, write);
    if (loopWakes)
        *loopWakes = threadSwitches(getpid(), "threaded-ml") - loopFrom;
    sleepMs(300);
    return continuity(rec.stop());
}

// A stall is heard as silence (the source's clock runs on), and what follows
// it is not dropped. On PulseAudio the writes wake no thread of libpulse's:
// the writer itself sends each frame and reads the server's answers.
TEST_F(PulseMic, DeliversEveryFrameBitExactAndInOrderWithSilenceForAStall) {
    int failed = 0;
    long loopWakes = 0;
    Continuity c = writeCounter(150, 20000, &failed, 75, false, &loopWakes);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(c.counted, size_t(150) * kFrame);
    EXPECT_EQ(c.silentGaps, 1u);
    EXPECT_TRUE(c.jumps.empty()) << c.jumps.size() << " breaks, first " << c.jumps[0];
    EXPECT_LE(loopWakes, 15); // 2-3 a frame when a thread of libpulse's sent them
}

// A tick 2 % fast would add 20 ms of delay every second where the server's
// clock sets the pace; the feed drops whole frames instead, and only whole
// frames. A PipeWire node that drives its recorders' graph runs on the tick's
// clock and passes every frame; linked to a device too, it follows the
// device's clock and trims.
TEST_F(PulseMic, KeepsTheBacklogBoundedWhenTheTickRunsFast) {
    int failed = 0;
    const int frames = 400; // 8 s at 19.6 ms: 160 ms more audio than time
    if (onPipeWire()) {
        Continuity driving = writeCounter(frames, 19600, &failed);
        EXPECT_EQ(driving.counted, size_t(frames) * kFrame);
        EXPECT_TRUE(driving.jumps.empty()) << driving.jumps[0];
        EXPECT_EQ(driving.silentGaps, 0u);
    }
    Continuity c = writeCounter(frames, 19600, &failed, -1, onPipeWire());
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

// Whether the speaker's stream is there and corked.
bool speakerCorked() {
    const std::string inputs = pactl({"list", "sink-inputs"});
    const size_t name = inputs.find("media.name = \"Voxlet speaker\"");
    if (name == std::string::npos)
        return false;
    const size_t block = inputs.rfind("Sink Input #", name);
    const size_t corked = inputs.find("Corked: ", block == std::string::npos ? 0 : block);
    return corked < name && inputs.compare(corked, 11, "Corked: yes") == 0;
}

// An idle speaker sleeps, corked; counter frames handed in at the tick's pace then
// come out of the real speaker whole and in order, never into the microphone,
// even when a server with no default before the microphone's feed appeared
// made the feed its default sink (PipeWire has no feed sink). Malformed
// writes to the microphone are refused and reach nothing either.
TEST_F(PulseMic, SpeakerPlaysOnTheRealSinkAndMalformedWritesReachNothing) {
    io_connect_t connection = openConnection();
    ASSERT_NE(connection, 0u);
    ASSERT_TRUE(onPipeWire() ||
                Child("/usr/bin/pactl", {"set-default-sink", "voxlet_mic_feed"}).wait() == 0);
    Recorder speaker("test_speaker.monitor", 2), microphone("voxlet_mic");
    sleepMs(200);
    MicWriteRequest r;
    std::fill(std::begin(r.samples), std::end(r.samples), short(1000));
    for (int count : {961, -1}) {
        r.sampleCount = count;
        EXPECT_NE(callWrite(connection, &r), kIOReturnSuccess) << count;
    }
    r.sampleCount = kFrame;
    EXPECT_NE(callWrite(connection, &r, sizeof r - 1), kIOReturnSuccess);
    EXPECT_NE(callWrite(connection, &r, sizeof r, 1), kIOReturnSuccess);
    EXPECT_NE(callWrite(connection, nullptr), kIOReturnSuccess);
    r.sampleCount = 0;
    EXPECT_EQ(callWrite(connection, &r), kIOReturnSuccess);
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
        EXPECT_TRUE(speakerCorked()); // nor does the server play for it
        long next = 0;
        short frame[kFrame];
        paced(100, 20000, [&](int) {
            counterFrame(frame, kFrame, next);
            refused += player.play(frame, kFrame) != 0;
        });
        sleepMs(400);
        EXPECT_TRUE(speakerCorked()); // once it played out
        player.close();
    }
    std::vector<int16_t> heard = microphone.stop();
    Continuity c = continuity(speaker.stop());
    IOServiceClose(connection);

    EXPECT_EQ(refused, 0);
    EXPECT_EQ(c.counted, size_t(100) * kFrame);
    EXPECT_TRUE(c.jumps.empty()) << c.jumps.size() << " breaks, first " << c.jumps[0];
    ASSERT_GT(heard.size(), 4800u);
    EXPECT_TRUE(allZero(heard));
}

// Runs `work` on another thread; a call that blocks would hang the suite, so
// the process ends with a message instead.
template <typename Work> void withinSeconds(int seconds, const char* what, Work work) {
    auto done = std::async(std::launch::async, work);
    if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        std::fprintf(stderr, "%s blocked for %d s\n", what, seconds);
        std::_Exit(3);
    }
    done.get();
}

// A server of the test's own dies while both outputs run: writes fail
// quietly, nothing blocks and nothing new opens; once it is back, the next
// open finds it again.
TEST_F(PulseMic, OutputsGoQuietWhenTheServerDiesAndReturnWithIt) {
    OwnServer own;
    ASSERT_EQ(own.run("start"), 0);
    MicDevice mic;
    ASSERT_EQ(mic.open(), 1);
    auto player = std::make_unique<AudioPlayer>(48000, 20);
    ASSERT_EQ(player->open(), 0);
    short frame[kFrame] = {};
    int written = 0;
    auto both = [&](int) {
        written += mic.write(frame, kFrame);
        player->play(frame, kFrame);
    };
    paced(10, 20000, both);
    EXPECT_EQ(written, 10);

    ASSERT_EQ(own.run("stop"), 0);
    long switchesAtHalf = -1, switchesAtEnd = -1;
    withinSeconds(10, "writing after the server died", [&] {
        paced(25, 20000, both); // the loss may take a moment to show
        written = 0;
        switchesAtHalf = threadSwitches(getpid(), "vx-speaker");
        paced(25, 20000, both);
        switchesAtEnd = threadSwitches(getpid(), "vx-speaker");
        mic.close();
        player->close();
        player.reset();
        // With no server there is no microphone and no speaker.
        MicDevice none;
        EXPECT_EQ(none.isActive(), 0);
        EXPECT_EQ(none.open(), 0);
        EXPECT_NE(AudioPlayer(48000, 20).open(), 0);
    });
    EXPECT_EQ(written, 0);
    // With its stream gone the speaker's thread has nothing to wait for: it
    // must not spin on the buffers that will never be read (25 frames' time:
    // about 25 wake-ups at its longest wait, hundreds at its shortest).
    ASSERT_GE(switchesAtHalf, 0);
    EXPECT_LT(switchesAtEnd - switchesAtHalf, 150);

    ASSERT_EQ(own.run("start"), 0);
    withinSeconds(10, "opening on the restarted server", [&] {
        EXPECT_EQ(mic.open(), 1);
        EXPECT_TRUE(hasSource("voxlet_mic"));
        EXPECT_TRUE(mic.write(frame, kFrame));
    });
}

} // namespace
