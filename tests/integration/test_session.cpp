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

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ranges>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VOXLET_COUNT_ALLOCATIONS 0
#else
#define VOXLET_COUNT_ALLOCATIONS 1
#endif

using namespace std::chrono_literals;
using Reports = std::vector<StateRecorder::Report>;
using namespace kit;

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};

[[maybe_unused]] void countAllocation() {
    char name[17] = {0};
    if (!gCounting.load(std::memory_order_relaxed) || prctl(PR_GET_NAME, name) != 0)
        return;
    for (const char* watched : {"vx-pump", "vx-tick", "vx-speaker"})
        gAllocations.fetch_add(strcmp(name, watched) == 0);
}

constexpr int kRate = 48000;
constexpr int kFrame = 960;
const Reports kStopped{{1, 0}, {2, 0}, {3, 0}, {0, 0}};

class Session : public ::testing::Test {
  protected:
    void SetUp() override {
        Settings::setTransportType(3);
        Settings::setWifiServerAddr("127.0.0.1");
        Settings::setPlayLocally(false);
        Settings::setMediaPort(freeUdpPort());
    }

    // A phone with `args` as the target, and a session started against it.
    void start(std::vector<std::string> args = {}) {
        phone.emplace(std::move(args));
        Settings::setControlPort(phone->port());
        EXPECT_EQ(controller.start(), 0);
    }

    // The samples the microphone got once the tone is established.
    std::vector<int16_t> steadyMicSamples() {
        std::vector<int16_t> out;
        for (const MicFrame& f : mic->frames() | std::views::drop(10))
            out.insert(out.end(), f.samples, f.samples + f.sampleCount);
        return out;
    }

    RecordingMicDriverInstaller mic;
    RecordingAudioBackendInstaller speaker;
    StateRecorder states;
    std::optional<PhoneProcess> phone;
    MicController controller{&states};
};

TEST_F(Session, StreamsTheDecodedToneIntoTheMicrophoneOneFramePerTick) {
    start({"--tone", "1000"});
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

    EXPECT_EQ(states.reports(), kStopped);
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

    std::string summary = phone->stop();
    char codec[64];
    int port = Settings::getMediaPort();
    snprintf(codec, sizeof codec, "request 102: 66 00 00 00 06 02 02 00 00 %02X %02X", port >> 8,
             port & 0xff);
    for (const char* request : {"request 101: 65 00 00 00 06 02 03 02 01 00 00", (const char*)codec,
                                "request 103: 67 00 00 00 00"})
        EXPECT_NE(summary.find(request), std::string::npos) << summary;
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
    int error;
    bool streamed;
    friend void PrintTo(const Behaviour& b, std::ostream* os) { *os << b.name; }
};

class PhoneBehaviour : public Session, public ::testing::WithParamInterface<Behaviour> {};

TEST_P(PhoneBehaviour, EndsWithItsReports) {
    const Behaviour& b = GetParam();
    start(b.phoneArgs);
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(states.reports(), (b.streamed ? Reports{{1, 0}, {2, 0}, {4, 0}, {0, b.error}}
                                            : Reports{{1, 0}, {0, b.error}}));
    EXPECT_EQ(mic->openConnections(), 0);
    if (b.streamed) {
        EXPECT_GT(Statistics::getInstance()->rxCount, 0);
    } else {
        EXPECT_EQ(speaker.backendsCreated(), 0) << "the speaker is never created";
        EXPECT_EQ(mic->writeCount(), 0);
    }
}

// Frames then silence: three empty receive waits. A closed control link: the
// keep-alive fails. (Never a frame: see the stranger's test.)
INSTANTIATE_TEST_SUITE_P(
    Phones, PhoneBehaviour,
    ::testing::Values(Behaviour{"VersionRefused", {"--version-status", "3"}, -6, false},
                      Behaviour{"VersionMismatch", {"--version-status", "10"}, -7, false},
                      Behaviour{"WrongReplyCode", {"--version-reply-code", "102"}, -7, false},
                      Behaviour{"CodecRefused", {"--codec-status", "1"}, -7, false},
                      Behaviour{"StartRefused", {"--start-status", "2"}, -8, false},
                      Behaviour{"FramesThenSilence", {"--stop-after", "50"}, -20, true},
                      Behaviour{"ControlLinkClosed", {"--close-after", "1"}, -20, true}),
    [](const auto& info) { return info.param.name; });

TEST_F(Session, SetUpFailuresReportTheirCodesAndLeaveNothingOpen) {
    phone.emplace();
    const int mediaPort = Settings::getMediaPort();
    int blocker = boundSocket(SOCK_DGRAM, "0.0.0.0", mediaPort); // takes it, unshared
    // A 64-character label is refused without asking any resolver.
    const std::string overlong = std::string(64, 'x') + ".invalid";
    const struct {
        const char* host;
        int port, transport, error;
    } cases[] = {{"127.0.0.1", closedTcpPort(), 3, -5},
                 {overlong.c_str(), phone->port(), 3, -5},
                 {"127.0.0.1", phone->port(), 1, -8},
                 {"127.0.0.1", phone->port(), 3, -12}};
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
    EXPECT_EQ(controller.stop(), -1);
    start({"--no-answer", "101"});
    EXPECT_EQ(controller.start(), -1) << "a second start before state 1 is refused";
    ASSERT_TRUE(states.waitFor(StateConnecting));
    EXPECT_EQ(controller.start(), -1);
    // A stop while connecting is accepted but dropped: the exchange goes on
    // and fails on its own (no answer to 101 within 5 s: -6).
    EXPECT_EQ(controller.stop(), 0);
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(states.reports(), (Reports{{1, 0}, {0, -6}}));
}

// Exactly one ending when an abort races a stop; and late threads of the
// previous session stop or abort nothing of the current one.
TEST_F(Session, AnAbortRacingAStopOrFromAnEarlierSessionReportsExactlyOneEnding) {
    phone.emplace();
    Settings::setControlPort(phone->port());
    uint32_t previous = 0;
    for (int round = 0; round < 5; ++round) {
        states.clear();
        ASSERT_EQ(controller.start(), 0);
        ASSERT_TRUE(states.waitFor(StateConnected));
        if (round > 0) {
            controller.stopInternal(previous);
            controller.abortInternal(previous, ErrorNoFrames);
            EXPECT_EQ(StateConnected, controller.getState()) << "round " << round;
        }
        previous = controller.getSession();
        std::thread aborter([&] { controller.onAbort(-20); });
        controller.stop();
        aborter.join();
        ASSERT_TRUE(states.waitForIdle());
        std::this_thread::sleep_for(50ms); // a second ending would arrive by now
        Reports r = states.reports();
        EXPECT_TRUE((r == kStopped || r == Reports{{1, 0}, {2, 0}, {4, 0}, {0, -20}}))
            << "round " << round;
    }
}

TEST_F(Session, MisbehavingNetworkStillPlaysSteadily) {
    start({"--tone", "1000", "--malformed-every", "7", "--reorder", "10", "--loss", "3", "--jitter",
           "15", "--seed", "4"});
    ASSERT_TRUE(mic->waitForWrites(150));
    controller.stop();
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(states.reports(), kStopped);
    EXPECT_GT(Statistics::getInstance()->rxCount, 100);
    EXPECT_GT(Statistics::getInstance()->maxDelta, 0);
}

TEST_F(Session, SilentPhoneStopInThePrefillWaitThenMediaFromAnotherHostIsIgnored) {
    start({"--silent"}); // accepts, then sends no frame
    ASSERT_TRUE(states.waitFor(StateConnected));
    ASSERT_EQ(controller.stop(), 0);
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(states.reports(), kStopped);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(mic->writeCount(), 0) << "the clock never started";

    // A stranger floods the media port with valid frames from 127.0.0.2: they
    // are dropped unseen and do not keep the session alive.
    states.clear();
    ASSERT_EQ(controller.start(), 0);
    ASSERT_TRUE(states.waitFor(StateConnected));
    std::atomic<bool> stop{false};
    int sent = 0;
    std::thread stranger([&, port = Settings::getMediaPort()] {
        int fd = boundSocket(SOCK_DGRAM, "127.0.0.2");
        for (uint32_t seq = 1000000; !stop; ++seq, ++sent) {
            sendDatagram(fd, port, voiceFrame(seq, opusPacket(kRate, kFrame)));
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
    start({"--tone", "1000"});
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
    Reports twice = kStopped;
    twice.insert(twice.end(), kStopped.begin(), kStopped.end());
    EXPECT_EQ(states.reports(), twice);
    std::string summary = phone->stop();
    EXPECT_NE(summary.find("request 101:", summary.find("request 101:") + 1), std::string::npos)
        << "the second session ran its own exchange";
}

TEST_F(Session, DestroyingTheControllerWaitsForItsThreads) {
    Settings::setControlPort(closedTcpPort());
    std::make_unique<MicController>(&states)->start();
    EXPECT_EQ(states.reports(), (Reports{{1, 0}, {0, -5}})) << "the start thread finished first";
    states.clear();
    phone.emplace();
    Settings::setControlPort(phone->port());
    {
        MicController local(&states);
        ASSERT_EQ(local.start(), 0);
        ASSERT_TRUE(mic->waitForWrites(5));
    }
    EXPECT_EQ(states.reports(), kStopped);
    int writes = mic->writeCount();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(mic->writeCount(), writes) << "no tick after destruction";
    EXPECT_EQ(mic->openConnections(), 0);
}

TEST_F(Session, PumpTickAndSpeakerAllocateNothing) {
    if (!VOXLET_COUNT_ALLOCATIONS)
        GTEST_SKIP() << "the sanitizers bring their own allocator";
    Settings::setPlayLocally(true);
    start({"--tone", "440", "--jitter", "10", "--reorder", "5", "--seed", "3"});
    ASSERT_TRUE(mic->waitForWrites(20));
    ASSERT_TRUE(speaker.recording().waitForBuffers(20));

    std::set<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        names.insert(std::string(std::istreambuf_iterator<char>(comm), {}));
    }
    for (const char* watched : {"vx-pump\n", "vx-tick\n", "vx-speaker\n"})
        ASSERT_TRUE(names.count(watched)) << watched << " is not running under its name";

    gCounting = true;
    int from = mic->writeCount();
    size_t buffersFrom = speaker.recording().bufferSizes().size();
    ASSERT_TRUE(mic->waitForWrites(from + 260));
    gCounting = false;
    EXPECT_GE(speaker.recording().bufferSizes().size() - buffersFrom, 250u);

    controller.stop();
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(gAllocations.load(), 0);
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
