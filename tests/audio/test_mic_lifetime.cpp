// "Voxlet Microphone" as voxlet-cli keeps it: from start to exit, across
// sessions, outages and sound servers that come and go.
#include "Child.h"
#include "Kit.h"
#include "PulseTestUtil.h"

#include <algorithm>
#include <memory>
#include <regex>

using namespace pulsetest;

namespace {

class MicLifetime : public CliTest {
  protected:
    // Whether a recording client (parec) is attached to voxlet_mic now.
    static bool recorderOnMic() {
        auto mic = shortList("sources", "voxlet_mic");
        if (mic.empty())
            return false;
        for (const auto& row : shortList("source-outputs"))
            if (row.size() > 3 && row[1] == mic[0][0] &&
                (row[3] == "protocol-native.c" || row[3] == "PipeWire"))
                return true;
        return false;
    }
};

TEST_F(MicLifetime, TheSourceIsThereBeforeAnySessionSilentAndGoesAtExit) {
    REQUIRE_PRIVATE_SERVER();
    auto c = cli(closedTcpPort(), {"--reconnect"});
    ASSERT_TRUE(waitForSource("voxlet_mic", 5000));
    Recorder rec("voxlet_mic", 1);
    sleepMs(200);
    // Between sessions nothing of the client wakes (it used to write silence
    // and poll: hundreds of wake-ups a second). On PipeWire the graph pulls
    // the recorded node every cycle on its own data thread: not ours to count.
    const std::string graph = onPipeWire() ? "vx-pw-data" : "";
    const long idleFrom = threadSwitches(c->pid(), "", graph);
    sleepMs(800);
    const long idleSwitches = threadSwitches(c->pid(), "", graph) - idleFrom;
    std::vector<int16_t> heard = rec.stop();
    c->signal(SIGTERM);
    EXPECT_EQ(c->wait(std::chrono::milliseconds(10000)), 0) << c->err();
    EXPECT_EQ(c->out().find("state 2"), std::string::npos);
    EXPECT_GT(heard.size(), 24000u); // the source's clock runs between sessions
    EXPECT_LE(idleSwitches, 30);     // a reconnect attempt may fall in; a 20 ms poller is 40
    EXPECT_TRUE(std::all_of(heard.begin(), heard.end(), [](int16_t s) { return s == 0; }));
    EXPECT_TRUE(micGone());
}

// A killed client cannot remove anything: on PipeWire its node goes with its
// connection, on PulseAudio the next client clears its modules. Either way the
// next one publishes exactly one source, and leaves nothing.
TEST_F(MicLifetime, NothingOfAKilledClientOutlastsTheNextOne) {
    REQUIRE_PRIVATE_SERVER();
    auto c = cli(closedTcpPort(), {"--reconnect"});
    ASSERT_TRUE(waitForSource("voxlet_mic", 5000));
    c->signal(SIGKILL);
    c->wait(std::chrono::milliseconds(5000));
    if (onPipeWire()) {
        EXPECT_TRUE(micGone());
    }
    auto next = cli(closedTcpPort(), {"--reconnect"});
    // On PulseAudio the dead one's source stays until the next one replaced it.
    const std::string owner = ":" + std::to_string(next->pid()) + "\"";
    auto nextPublished = [&] {
        for (const auto& row : shortList("modules"))
            if (row.size() > 2 && row[2].find("voxlet_mic") != std::string::npos &&
                row[2].find(owner) == std::string::npos)
                return false;
        return hasSource("voxlet_mic");
    };
    for (int waited = 0; waited < 5000 && !nextPublished(); waited += 100)
        sleepMs(100);
    ASSERT_TRUE(nextPublished());
    EXPECT_EQ(shortList("sources", "voxlet_mic").size(), 1u);
    EXPECT_EQ(micModules().size(), micModuleCount());
    next->signal(SIGTERM);
    EXPECT_EQ(next->wait(std::chrono::milliseconds(10000)), 0) << next->err();
    EXPECT_TRUE(micGone());
}

// The phone is killed and restarted on the same port: --reconnect starts a
// new session, and a recorder hears both without ever leaving voxlet_mic.
TEST_F(MicLifetime, ARecorderStaysOnTheMicrophoneWhileTheCliReconnects) {
    REQUIRE_PRIVATE_SERVER();
    auto phone = std::make_unique<PhoneProcess>(std::vector<std::string>{"--tone", "440"});
    const int port = phone->port();
    ASSERT_GT(port, 0);
    auto c = cli(port, {"--reconnect", "--verbose"});
    ASSERT_TRUE(waitForSource("voxlet_mic", 5000));
    const std::string micIndex = shortList("sources", "voxlet_mic").at(0)[0];
    Recorder rec("voxlet_mic", 1);
    sleepMs(2500);
    phone.reset();
    sleepMs(2500);
    const bool stayedDuringOutage = recorderOnMic();
    phone = std::make_unique<PhoneProcess>(
        std::vector<std::string>{"--tone", "440", "--port", std::to_string(port)});
    ASSERT_EQ(phone->port(), port);
    sleepMs(6000); // the drop shows within ~3 s, then a 1 s wait and the new session
    EXPECT_TRUE(stayedDuringOutage);
    EXPECT_TRUE(recorderOnMic());
    EXPECT_EQ(shortList("sources", "voxlet_mic").at(0)[0], micIndex);
    std::vector<int16_t> heard = rec.stop();
    c->signal(SIGTERM);
    EXPECT_EQ(c->wait(std::chrono::milliseconds(10000)), 0) << c->err();

    const std::string out = c->out();
    EXPECT_NE(out.find("state 2\n"), out.rfind("state 2\n")) << out; // two sessions
    EXPECT_NE(out.find("reconnecting in 1 s\n"), std::string::npos) << out;
    // The tone is published at its level (-6 dBFS) once a second.
    EXPECT_TRUE(std::regex_search(out, std::regex("level -[56]\\.[0-9] dBFS, queue [0-4], late")))
        << out;
    // The new session reaches the recorder (its quality is tested elsewhere).
    ASSERT_GT(heard.size(), size_t(48000 * 3));
    std::vector<int16_t> last(heard.end() - 48000, heard.end());
    EXPECT_NEAR(kit::estimateFrequency(last, 48000), 440.0, 30.0);
    EXPECT_GT(kit::rmsDbfs(last), -12.0);
    EXPECT_TRUE(micGone());
}

// A server that appears after the start, and one that dies and comes back,
// gets the source without restarting the program.
TEST_F(MicLifetime, AServerThatAppearsLaterOrComesBackIsPickedUp) {
    REQUIRE_PRIVATE_SERVER();
    char tmpl[] = "/tmp/voxlet-late-server.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    auto script = [&dir](const std::string& what) { return ownServer(what, dir); };
    {
        ServerOverride own(dir);
        auto c = cli(closedTcpPort(), {"--reconnect"});
        sleepMs(1000);
        ASSERT_EQ(script("start"), 0);
        EXPECT_TRUE(waitForSource("voxlet_mic", 8000));
        ASSERT_EQ(script("stop"), 0);
        ASSERT_EQ(script("start"), 0);
        EXPECT_TRUE(waitForSource("voxlet_mic", 8000));
        c->signal(SIGTERM);
        EXPECT_EQ(c->wait(std::chrono::milliseconds(10000)), 0) << c->err();
        EXPECT_TRUE(micGone());
        script("stop");
    }
    Child("/bin/rm", {"-rf", dir}).wait(std::chrono::milliseconds(5000));
}

} // namespace
