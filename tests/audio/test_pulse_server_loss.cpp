// The sound server missing, dying mid-session and coming back. These tests
// start a server of their own, of the shared one's kind, or point at none, so
// they never depend on what the shared private server holds.
#include "AudioPlayer.h"
#include "MicDevice.h"
#include "PulseTestUtil.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>

using namespace pulsetest;

namespace {

constexpr int kFrame = 960;

// A server of the test's own in a private directory; stopped and removed
// however the test ends.
struct OwnServer {
    std::string dir;
    OwnServer() {
        char tmpl[] = "/tmp/voxlet-pulse-loss-XXXXXX";
        if (mkdtemp(tmpl))
            dir = tmpl;
    }
    ~OwnServer() {
        if (dir.empty())
            return;
        ownServer("stop", dir);
        Child("/bin/rm", {"-rf", dir}).wait();
    }
};

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

// The server dies while both outputs run: writes fail quietly, nothing blocks
// and nothing new opens; once it is back, the next open finds it again.
TEST(PulseServerLoss, OutputsGoQuietWhenTheServerDiesAndReturnWithIt) {
    REQUIRE_PRIVATE_SERVER();
    OwnServer own;
    const std::string dir = own.dir;
    ASSERT_FALSE(dir.empty());
    ASSERT_EQ(ownServer("start", dir), 0);
    ServerOverride server(dir);

    MicDevice mic;
    ASSERT_EQ(mic.open(), 1);
    auto player = std::make_unique<AudioPlayer>(48000, 20);
    ASSERT_EQ(player->open(), 0);
    short frame[kFrame] = {};
    int written = 0;
    paced(10, 20000, [&](int) {
        written += mic.write(frame, kFrame);
        player->play(frame, kFrame);
    });
    EXPECT_EQ(written, 10);

    ASSERT_EQ(ownServer("stop", dir), 0);
    int lateSuccesses = 0;
    long switchesAtHalf = -1;
    long switchesAtEnd = -1;
    withinSeconds(10, "writing after the server died", [&] {
        paced(50, 20000, [&](int i) {
            bool ok = mic.write(frame, kFrame);
            if (i >= 25)
                lateSuccesses += ok;
            if (i == 25)
                switchesAtHalf = threadSwitches(getpid(), "vx-speaker");
            player->play(frame, kFrame);
        });
        switchesAtEnd = threadSwitches(getpid(), "vx-speaker");
        mic.close();
        player->close();
        player.reset();
        // With no server there is no microphone and no speaker.
        MicDevice none;
        EXPECT_EQ(none.isActive(), 0);
        EXPECT_EQ(none.open(), 0);
        EXPECT_FALSE(none.write(frame, kFrame));
        AudioPlayer quiet(48000, 20);
        EXPECT_NE(quiet.open(), 0);
        EXPECT_EQ(quiet.play(frame, kFrame), -1);
        quiet.close();
    });
    EXPECT_EQ(lateSuccesses, 0);
    // With its stream gone the speaker's thread has nothing to wait for: it
    // must not spin on the buffers that will never be read (25 frames' time:
    // about 25 wake-ups at its longest wait, hundreds at its shortest).
    ASSERT_GE(switchesAtHalf, 0);
    EXPECT_LT(switchesAtEnd - switchesAtHalf, 150);

    ASSERT_EQ(ownServer("start", dir), 0);
    withinSeconds(10, "opening on the restarted server", [&] {
        EXPECT_EQ(mic.open(), 1);
        EXPECT_TRUE(hasSource("voxlet_mic"));
        EXPECT_TRUE(mic.write(frame, kFrame));
        mic.close();
        EXPECT_TRUE(micGone());
    });
}

} // namespace
