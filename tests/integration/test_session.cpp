// Whole sessions of MicController against voxlet-phone on loopback, with a
// recording virtual microphone and speaker. The counting malloc below shows
// allocations on the pump, tick and speaker threads (known by their names).
// (The runtime allocates every thrown exception, so that stream is well formed.)
#include "Child.h"
#include "Kit.h"
#include "MicController.h"
#include "RecordingAudioBackend.h"
#include "RecordingMicDriver.h"
#include "Settings.h"
#include "StateRecorder.h"
#include "Statistics.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <opus.h>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VOXLET_COUNT_ALLOCATIONS 0
#else
#define VOXLET_COUNT_ALLOCATIONS 1
#endif

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gPump{0}, gTick{0}, gSpeaker{0};

[[maybe_unused]] void countAllocation() {
    if (!gCounting.load(std::memory_order_relaxed))
        return;
    char name[17] = {0};
    if (prctl(PR_GET_NAME, name) != 0)
        return;
    if (strcmp(name, "vx-pump") == 0)
        gPump.fetch_add(1);
    else if (strcmp(name, "vx-tick") == 0)
        gTick.fetch_add(1);
    else if (strcmp(name, "vx-speaker") == 0)
        gSpeaker.fetch_add(1);
}

std::set<std::string> threadNames() {
    std::set<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        names.insert(name);
    }
    return names;
}

} // namespace

#if VOXLET_COUNT_ALLOCATIONS
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);

void* malloc(size_t size) {
    countAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    countAllocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    countAllocation();
    return __libc_realloc(p, size);
}
}
#endif

using namespace std::chrono_literals;
using Reports = std::vector<StateRecorder::Report>;
using namespace kit;

namespace {

constexpr int kRate = 48000;
constexpr int kFrame = 960;

class Session : public ::testing::Test {
  protected:
    void SetUp() override {
        Settings::setTransportType(3);
        Settings::setWifiServerAddr("127.0.0.1");
        Settings::setPlayLocally(false);
        Settings::setMediaPort(freeUdpPort());
    }

    void target(const PhoneProcess& phone) { Settings::setControlPort(phone.port()); }

    // The samples the microphone got once the tone is established.
    std::vector<int16_t> steadyMicSamples(size_t skipFrames = 10) {
        std::vector<MicFrame> frames = mic->frames();
        std::vector<int16_t> out;
        for (size_t i = skipFrames; i < frames.size(); ++i)
            out.insert(out.end(), frames[i].samples, frames[i].samples + frames[i].sampleCount);
        return out;
    }

    RecordingMicDriverInstaller mic;
    RecordingAudioBackendInstaller speaker;
    StateRecorder states;
};

TEST_F(Session, StreamsTheDecodedToneIntoTheMicrophoneOneFramePerTick) {
    PhoneProcess phone({"--tone", "1000"});
    target(phone);
    MicController controller(&states);
    ASSERT_EQ(controller.start(), 0);
    ASSERT_TRUE(states.waitFor(StateConnected));
    // A little over two seconds of ticks (the keep-alives of seconds 0, 1 and
    // 2), the last second with the speaker switched on.
    ASSERT_TRUE(mic->waitForWrites(55));
    EXPECT_TRUE(allZero(speaker.recording().samples())) << "speaker off: silence";
    Settings::setPlayLocally(true);
    ASSERT_TRUE(mic->waitForWrites(115));
    ASSERT_EQ(controller.stop(), 0);
    ASSERT_TRUE(states.waitForIdle());
    int writes = mic->writeCount();

    EXPECT_EQ(states.reports(), (Reports{{1, 0}, {2, 0}, {3, 0}, {0, 0}}));
    EXPECT_EQ(controller.getState(), StateIdle);
    EXPECT_EQ(mic->lastConnectionType.load(), 0u);
    EXPECT_EQ(mic->openConnections(), 0) << "the session closed the device";
    EXPECT_EQ(mic->malformedCount(), 0);

    std::vector<MicFrame> frames = mic->frames();
    ASSERT_GT(frames.size(), 100u);
    for (const MicFrame& f : frames) {
        ASSERT_EQ(f.sampleCount, kFrame);
        ASSERT_EQ(f.thread, frames[0].thread) << "every write comes from the ticking thread";
    }
    EXPECT_NEAR(estimateFrequency(steadyMicSamples(), kRate), 1000.0, 5.0);

    // Each buffer the speaker played holds one frame. A buffer that found no
    // frame waiting is silent (the two clocks need not agree); every other one
    // carries the tone.
    std::vector<int16_t> played = speaker.recording().samples();
    int sounding = 0;
    for (size_t at = 0; at + kFrame <= played.size(); at += kFrame) {
        std::vector<int16_t> frame(played.begin() + (long)at, played.begin() + (long)at + kFrame);
        if (allZero(frame))
            continue;
        ++sounding;
        EXPECT_NEAR(estimateFrequency(frame, kRate), 1000.0, 20.0) << "buffer " << at / kFrame;
    }
    EXPECT_GE(sounding, 40);
    EXPECT_EQ(speaker.backendsStopped(), speaker.backendsStarted());

    Statistics* stats = Statistics::getInstance();
    EXPECT_GT(stats->rxCount, 100);
    EXPECT_EQ(stats->fullDropCount, 0);

    std::string summary = phone.stop();
    EXPECT_NE(summary.find("request 101: 65 00 00 00 06 02 03 02 01 00 00"), std::string::npos)
        << summary;
    char codec[64];
    int port = Settings::getMediaPort();
    snprintf(codec, sizeof codec, "request 102: 66 00 00 00 06 02 02 00 00 %02X %02X", port >> 8,
             port & 0xff);
    EXPECT_NE(summary.find(codec), std::string::npos) << summary;
    EXPECT_NE(summary.find("request 103: 67 00 00 00 00"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("request 104"), std::string::npos) << "a session ends without 104";
    long keepAlives = numberAfter(summary, "keep-alives: ");
    EXPECT_GE(keepAlives, 2) << "one a second from the start of streaming";
    EXPECT_LE(keepAlives, writes / 50 + 2) << "one a second, not more";
}

// What the controller reports against each kind of phone, and that a session
// that never streamed created no speaker and wrote nothing.
struct Behaviour {
    std::string name;
    std::vector<std::string> phoneArgs;
    Reports expected;
    friend void PrintTo(const Behaviour& b, std::ostream* os) { *os << b.name; }
};

class PhoneBehaviour : public Session, public ::testing::WithParamInterface<Behaviour> {};

TEST_P(PhoneBehaviour, EndsWithItsReports) {
    PhoneProcess phone(GetParam().phoneArgs);
    target(phone);
    MicController controller(&states);
    ASSERT_EQ(controller.start(), 0);
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(states.reports(), GetParam().expected);
    EXPECT_EQ(mic->openConnections(), 0);
    if (GetParam().expected.size() == 2) {
        EXPECT_EQ(speaker.backendsCreated(), 0) << "the speaker is never created";
        EXPECT_EQ(mic->writeCount(), 0);
    } else {
        EXPECT_GT(Statistics::getInstance()->rxCount, 0);
    }
}

Behaviour failsWhileConnecting(std::string name, std::vector<std::string> args, int error) {
    return {std::move(name), std::move(args), {{1, 0}, {0, error}}};
}
Behaviour abortsWhileStreaming(std::string name, std::vector<std::string> args) {
    return {std::move(name), std::move(args), {{1, 0}, {2, 0}, {4, 0}, {0, -20}}};
}

// Frames then silence: three empty receive waits. A closed control link: the
// keep-alive fails. (Never a frame: see the stranger's test.)
INSTANTIATE_TEST_SUITE_P(
    Phones, PhoneBehaviour,
    ::testing::Values(failsWhileConnecting("VersionRefused", {"--version-status", "3"}, -6),
                      failsWhileConnecting("VersionMismatch", {"--version-status", "10"}, -7),
                      failsWhileConnecting("WrongReplyCode", {"--version-reply-code", "102"}, -7),
                      failsWhileConnecting("CodecRefused", {"--codec-status", "1"}, -7),
                      failsWhileConnecting("StartRefused", {"--start-status", "2"}, -8),
                      abortsWhileStreaming("FramesThenSilence", {"--stop-after", "50"}),
                      abortsWhileStreaming("ControlLinkClosed", {"--close-after", "1"})),
    [](const auto& info) { return info.param.name; });

TEST_F(Session, SetUpFailuresReportTheirCodesAndLeaveNothingOpen) {
    PhoneProcess phone;
    const int mediaPort = Settings::getMediaPort();
    int blocker = boundSocket(SOCK_DGRAM, "0.0.0.0", mediaPort); // takes it, unshared
    // A 64-character label is refused without asking any resolver.
    const std::string overlong = std::string(64, 'x') + ".invalid";
    const struct {
        const char* host;
        int port, transport, error;
    } cases[] = {{"127.0.0.1", closedTcpPort(), 3, -5},
                 {overlong.c_str(), phone.port(), 3, -5},
                 {"127.0.0.1", phone.port(), 1, -8},
                 {"127.0.0.1", phone.port(), 3, -12}};
    MicController controller(&states);
    for (const auto& c : cases) {
        states.clear();
        Settings::setWifiServerAddr(c.host);
        Settings::setControlPort(c.port);
        Settings::setTransportType(c.transport);
        Settings::setMediaPort(mediaPort);
        std::set<int> fds = openFds();
        ASSERT_EQ(controller.start(), 0);
        ASSERT_TRUE(states.waitForIdle());
        EXPECT_EQ(states.reports(), (Reports{{1, 0}, {0, c.error}})) << c.error;
        EXPECT_EQ(openFds(), fds) << "nothing left open";
    }
    close(blocker);
}

TEST_F(Session, StartAndStopAreRefusedOutsideTheirStates) {
    MicController controller(&states);
    EXPECT_EQ(controller.stop(), -1);
    PhoneProcess phone({"--no-answer", "101"});
    target(phone);
    ASSERT_EQ(controller.start(), 0);
    EXPECT_EQ(controller.start(), -1) << "a second start before state 1 is refused";
    ASSERT_TRUE(states.waitFor(StateConnecting));
    EXPECT_EQ(controller.start(), -1);
    // A stop while connecting is accepted but dropped: the exchange goes on
    // and fails on its own (no answer to 101 within 5 s: -6).
    EXPECT_EQ(controller.stop(), 0);
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(states.reports(), (Reports{{1, 0}, {0, -6}}));
}

TEST_F(Session, AnAbortRacingAStopReportsExactlyOneEnding) {
    PhoneProcess phone;
    target(phone);
    MicController controller(&states);
    for (int round = 0; round < 5; ++round) {
        states.clear();
        ASSERT_EQ(controller.start(), 0);
        ASSERT_TRUE(states.waitFor(StateConnected));
        std::thread aborter([&] { controller.onAbort(-20); });
        controller.stop();
        aborter.join();
        ASSERT_TRUE(states.waitForIdle());
        std::this_thread::sleep_for(50ms); // a second ending would arrive by now
        Reports r = states.reports();
        bool stopped = r == Reports{{1, 0}, {2, 0}, {3, 0}, {0, 0}};
        bool aborted = r == Reports{{1, 0}, {2, 0}, {4, 0}, {0, -20}};
        EXPECT_TRUE(stopped || aborted) << "round " << round;
    }
}

// Late threads of an earlier session stop or abort nothing of the current one.
TEST_F(Session, AStopOrAbortEndsOnlyItsOwnSession) {
    PhoneProcess phone({"--tone", "440"});
    target(phone);
    MicController controller(&states);
    ASSERT_EQ(0, controller.start());
    ASSERT_TRUE(states.waitFor(StateConnected));
    uint32_t first = controller.getSession();
    ASSERT_EQ(0, controller.stop());
    ASSERT_TRUE(states.waitForIdle());

    states.clear();
    ASSERT_EQ(0, controller.start());
    ASSERT_TRUE(states.waitFor(StateConnected));
    controller.stopInternal(first);
    controller.abortInternal(first, ErrorAborted);
    EXPECT_EQ(StateConnected, controller.getState());
    controller.stopInternal(controller.getSession());
    EXPECT_EQ(states.reports(), (Reports{{1, 0}, {2, 0}, {3, 0}, {0, 0}}));
}

TEST_F(Session, MisbehavingNetworkStillPlaysSteadily) {
    PhoneProcess phone({"--tone", "1000", "--malformed-every", "7", "--reorder", "10", "--loss",
                        "3", "--jitter", "15", "--seed", "4"});
    target(phone);
    MicController controller(&states);
    ASSERT_EQ(controller.start(), 0);
    ASSERT_TRUE(mic->waitForWrites(150));
    controller.stop();
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(states.reports(), (Reports{{1, 0}, {2, 0}, {3, 0}, {0, 0}}));
    Statistics* stats = Statistics::getInstance();
    EXPECT_GT(stats->rxCount, 100);
    EXPECT_GT(stats->maxDelta, 0);
}

TEST_F(Session, SilentPhoneStopInThePrefillWaitThenMediaFromAnotherHostIsIgnored) {
    PhoneProcess phone({"--silent"}); // accepts, then sends no frame
    target(phone);
    MicController controller(&states);
    ASSERT_EQ(controller.start(), 0);
    ASSERT_TRUE(states.waitFor(StateConnected));
    ASSERT_EQ(controller.stop(), 0);
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(states.reports(), (Reports{{1, 0}, {2, 0}, {3, 0}, {0, 0}}));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(mic->writeCount(), 0) << "the clock never started";

    // A stranger floods the media port with valid frames of a loud tone from
    // 127.0.0.2: they are dropped unseen and do not keep the session alive.
    states.clear();
    ASSERT_EQ(controller.start(), 0);
    ASSERT_TRUE(states.waitFor(StateConnected));
    std::atomic<bool> stop{false};
    int sent = 0;
    std::thread stranger([&, port = Settings::getMediaPort()] {
        int fd = boundSocket(SOCK_DGRAM, "127.0.0.2");
        for (uint32_t seq = 1000000; !stop; ++seq, ++sent) {
            auto pcm = sine(3000, kRate, kFrame, 16000, (long)seq * kFrame);
            sendDatagram(fd, port, voiceFrame(seq, opusPacket(kRate, pcm)));
            std::this_thread::sleep_for(10ms);
        }
        close(fd);
    });
    EXPECT_TRUE(states.waitForIdle());
    stop = true;
    stranger.join();
    EXPECT_GT(sent, 100);
    EXPECT_EQ(states.reports(), (Reports{{1, 0}, {2, 0}, {4, 0}, {0, -21}}));
    EXPECT_EQ(Statistics::getInstance()->rxCount, 0);
    EXPECT_EQ(mic->writeCount(), 0);
}

TEST_F(Session, RunsWithoutTheMicrophoneAndTheNextSessionStartsFresh) {
    mic->available = false;
    PhoneProcess phone({"--tone", "1000"});
    target(phone);
    MicController controller(&states);
    ASSERT_EQ(controller.start(), 0);
    ASSERT_TRUE(states.waitFor(StateConnected));
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(controller.stop(), 0);
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(mic->opens.load(), 0);
    EXPECT_GT(Statistics::getInstance()->rxCount, 5);

    mic->available = true;
    ASSERT_EQ(controller.start(), 0);
    ASSERT_TRUE(mic->waitForWrites(30));
    ASSERT_EQ(controller.stop(), 0);
    ASSERT_TRUE(states.waitFor(StateIdle, 2));
    EXPECT_NEAR(estimateFrequency(steadyMicSamples(), kRate), 1000.0, 10.0);
    EXPECT_EQ(mic->openConnections(), 0);
    EXPECT_EQ(states.reports(),
              (Reports{{1, 0}, {2, 0}, {3, 0}, {0, 0}, {1, 0}, {2, 0}, {3, 0}, {0, 0}}));
    std::string summary = phone.stop();
    EXPECT_NE(summary.find("request 101:", summary.find("request 101:") + 1), std::string::npos)
        << "the second session ran its own exchange";
}

TEST_F(Session, DestroyingTheControllerWaitsForItsThreads) {
    Settings::setControlPort(closedTcpPort());
    {
        MicController controller(&states);
        ASSERT_EQ(controller.start(), 0);
    }
    EXPECT_EQ(states.reports(), (Reports{{1, 0}, {0, -5}})) << "the start thread finished first";
    states.clear();
    PhoneProcess phone;
    target(phone);
    {
        MicController controller(&states);
        ASSERT_EQ(controller.start(), 0);
        ASSERT_TRUE(mic->waitForWrites(5));
    }
    EXPECT_EQ(states.reports(), (Reports{{1, 0}, {2, 0}, {3, 0}, {0, 0}}));
    int writes = mic->writeCount();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(mic->writeCount(), writes) << "no tick after destruction";
    EXPECT_EQ(mic->openConnections(), 0);
}

TEST_F(Session, PumpTickAndSpeakerAllocateNothing) {
    if (!VOXLET_COUNT_ALLOCATIONS)
        GTEST_SKIP() << "the sanitizers bring their own allocator";
    PhoneProcess phone({"--tone", "440", "--jitter", "10", "--reorder", "5", "--seed", "3"});
    target(phone);
    Settings::setPlayLocally(true);

    MicController controller(&states);
    ASSERT_EQ(controller.start(), 0);
    ASSERT_TRUE(mic->waitForWrites(20));
    ASSERT_TRUE(speaker.recording().waitForBuffers(20));

    std::set<std::string> names = threadNames();
    for (const char* watched : {"vx-pump", "vx-tick", "vx-speaker"})
        ASSERT_TRUE(names.count(watched)) << watched << " is not running under its name";

    gCounting = true;
    int from = mic->writeCount();
    size_t buffersFrom = speaker.recording().bufferSizes().size();
    ASSERT_TRUE(mic->waitForWrites(from + 260));
    gCounting = false;
    EXPECT_GE(speaker.recording().bufferSizes().size() - buffersFrom, 250u);

    controller.stop();
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(gPump.load(), 0);
    EXPECT_EQ(gTick.load(), 0);
    EXPECT_EQ(gSpeaker.load(), 0);
}

} // namespace
