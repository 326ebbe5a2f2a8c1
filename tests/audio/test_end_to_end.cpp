// voxlet-phone streams to voxlet-cli on loopback; what applications hear from
// "voxlet_mic" and the stand-in speaker is recorded and checked.
#include "Child.h"
#include "PulseTestUtil.h"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>

using namespace pulsetest;

namespace {

constexpr double kPhoneLevelDbfs = -6.0; // voxlet-phone's default tone level

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_PRIVATE_SERVER();
        char dir[] = "/tmp/voxlet-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        mDir = dir; // no settings.dat: the options say everything
    }
    void TearDown() override {
        if (!mDir.empty())
            Child("/bin/rm", {"-rf", mDir}).wait();
        if (whyNoPrivateServer().empty())
            for (const std::string& m : micModules())
                pactl({"unload-module", m.substr(0, m.find(' '))});
    }

    std::unique_ptr<Child> client(const PhoneProcess& phone, std::vector<std::string> extra) {
        std::vector<std::string> args{"--address",      "127.0.0.1",
                                      "--control-port", std::to_string(phone.port()),
                                      "--media-port",   std::to_string(freeUdpPort())};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Child>(VOXLET_CLI_BIN, args, mDir);
    }

    std::string mDir;
};

// Speaker off: the microphone carries the phone's tone at its frequency and
// level; the speaker stays silent; nothing is left loaded.
TEST_F(EndToEnd, MicrophoneCarriesTheToneAndTheSpeakerStaysSilentWhenOff) {
    PhoneProcess phone({"--tone", "1000"});
    ASSERT_GT(phone.port(), 0);
    Recorder speaker("test_speaker.monitor", 2);
    auto cli = client(phone, {"--no-speaker", "--duration", "5"});
    ASSERT_TRUE(waitForSource("voxlet_mic", 5000)) << "no voxlet_mic source";
    Recorder mic("voxlet_mic", 1);
    sleepMs(3000);
    std::vector<int16_t> heard = mic.stop();
    std::vector<int16_t> played = speaker.stop();
    EXPECT_EQ(cli->wait(), 0) << cli->out() << cli->err();

    Tone t = measureTone(heard);
    EXPECT_NEAR(t.hz, 1000.0, 10.0);
    EXPECT_NEAR(t.dbfs, kPhoneLevelDbfs, 1.0);
    EXPECT_GT(heard.size(), 48000u * 2);
    EXPECT_TRUE(std::all_of(played.begin(), played.end(), [](int16_t s) { return s == 0; }));
    EXPECT_TRUE(micModules().empty());
    EXPECT_TRUE(source("voxlet_mic").empty());
}

TEST_F(EndToEnd, SpeakerCarriesTheToneWhenOn) {
    PhoneProcess phone({"--tone", "1000"});
    ASSERT_GT(phone.port(), 0);
    Recorder speaker("test_speaker.monitor", 2);
    auto cli = client(phone, {"--speaker", "--duration", "4"});
    EXPECT_EQ(cli->wait(), 0) << cli->out() << cli->err();
    Tone t = measureTone(speaker.stop());

    EXPECT_NEAR(t.hz, 1000.0, 10.0);
    EXPECT_NEAR(t.dbfs, kPhoneLevelDbfs, 1.0);
    EXPECT_TRUE(micModules().empty());
}

// Clicks sent every 500 ms must arrive exactly 24000 samples apart: a lost,
// repeated or trimmed frame moves a click by 960 samples.
TEST_F(EndToEnd, ClicksKeepTheirSpacingWithNoGapOrRepeat) {
    PhoneProcess phone({"--click-every", "500"});
    ASSERT_GT(phone.port(), 0);
    auto cli = client(phone, {"--no-speaker", "--duration", "7"});
    ASSERT_TRUE(waitForSource("voxlet_mic", 5000));
    Recorder mic("voxlet_mic", 1);
    sleepMs(5500);
    std::vector<size_t> onsets = clickOnsets(mic.stop());
    EXPECT_EQ(cli->wait(), 0);

    ASSERT_GE(onsets.size(), 8u);
    for (size_t i = 2; i < onsets.size(); ++i) // the first second may still settle
        EXPECT_NEAR(double(onsets[i] - onsets[i - 1]), 24000.0, 48.0) << "click " << i;
}

// A client killed with SIGKILL cannot clean up; the next session does.
TEST_F(EndToEnd, NextSessionRemovesWhatAKilledClientLeft) {
    PhoneProcess phone({"--tone", "1000"});
    ASSERT_GT(phone.port(), 0);
    {
        auto killed = client(phone, {"--no-speaker"});
        ASSERT_TRUE(waitForSource("voxlet_mic", 5000));
        killed->signal(SIGKILL);
        killed->wait();
    }
    const std::vector<std::string> leftovers = micModules();
    ASSERT_EQ(leftovers.size(), 2u);

    auto next = client(phone, {"--no-speaker", "--duration", "3"});
    sleepMs(1500);
    std::vector<std::string> during = micModules();
    EXPECT_EQ(next->wait(), 0) << next->out() << next->err();

    EXPECT_EQ(during.size(), 2u);
    for (const std::string& m : leftovers)
        EXPECT_EQ(std::count(during.begin(), during.end(), m), 0) << m << " was left loaded";
    EXPECT_TRUE(micModules().empty());
}

// No sound server: no microphone, no speaker, but the session streams and
// ends cleanly.
TEST_F(EndToEnd, WithoutAServerTheSessionStillStreamsAndStopsCleanly) {
    PhoneProcess phone({"--tone", "1000"});
    ASSERT_GT(phone.port(), 0);
    int status;
    std::unique_ptr<Child> cli;
    {
        ServerOverride none("unix:/nonexistent/voxlet-test/native");
        cli = client(phone, {"--speaker", "--duration", "2", "--stats"});
        status = cli->wait();
    }

    EXPECT_EQ(status, 0) << cli->err();
    const std::string out = cli->out();
    EXPECT_NE(out.find("state 2"), std::string::npos) << out;
    EXPECT_EQ(out.find("error"), std::string::npos) << out;
    const size_t rx = out.find("rxCount: ");
    ASSERT_NE(rx, std::string::npos) << out;
    EXPECT_GT(std::atoi(out.c_str() + rx + 9), 50) << out;
}

} // namespace
