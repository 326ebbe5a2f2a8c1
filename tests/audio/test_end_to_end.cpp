// voxlet-phone streams to voxlet-cli on loopback; what applications hear from
// "voxlet_mic" and the stand-in speaker is recorded and checked.
#include "Child.h"
#include "PulseTestUtil.h"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>

using namespace pulsetest;

namespace {

// Onsets of clicks: the first loud sample after a tenth of a second of quiet.
std::vector<size_t> clickOnsets(const std::vector<int16_t>& s) {
    std::vector<size_t> onsets;
    for (size_t i = 0, lastLoud = 0; i < s.size(); ++i) {
        if (std::abs(int(s[i])) < 8000)
            continue;
        if (onsets.empty() || i - lastLoud > 4800)
            onsets.push_back(i);
        lastLoud = i;
    }
    return onsets;
}

constexpr double kPhoneLevelDbfs = -6.0; // voxlet-phone's default tone level

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_PRIVATE_SERVER();
        std::filesystem::create_directories(mDir); // no settings.dat: the options say all
    }
    void TearDown() override {
        std::filesystem::remove_all(mDir);
        if (whyNoPrivateServer().empty())
            unloadMicModules();
    }

    std::unique_ptr<Child> client(const PhoneProcess& phone, std::vector<std::string> extra) {
        std::vector<std::string> args{"--address",      "127.0.0.1",
                                      "--control-port", std::to_string(phone.port()),
                                      "--media-port",   std::to_string(freeUdpPort())};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Child>(VOXLET_CLI_BIN, args, mDir);
    }

    std::string mDir = testing::TempDir() + "voxlet-e2e-" + std::to_string(getpid());
};

// The phone's tone at its frequency and level, in the steady middle of a
// recording (no leading or trailing silence, no codec start-up).
void expectPhoneTone(const std::vector<int16_t>& recorded) {
    auto first = std::find_if(recorded.begin(), recorded.end(), [](int16_t s) { return s != 0; });
    auto last =
        std::find_if(recorded.rbegin(), recorded.rend(), [](int16_t s) { return s != 0; }).base();
    ASSERT_GT(last - first, 48000 * 2);
    std::vector<int16_t> steady(first + 4800, last - 4800);
    EXPECT_NEAR(estimateFrequency(steady, 48000), 1000.0, 10.0);
    EXPECT_NEAR(rmsDbfs(steady) + 3.01, kPhoneLevelDbfs,
                1.0); // a sine's RMS is 3 dB below its peak
}

// The microphone and the speaker carry the phone's tone at its frequency and
// level; nothing is left loaded.
TEST_F(EndToEnd, MicrophoneAndSpeakerCarryTheTone) {
    PhoneProcess phone({"--tone", "1000"});
    ASSERT_GT(phone.port(), 0);
    Recorder speaker("test_speaker.monitor", 2);
    auto cli = client(phone, {"--speaker", "--duration", "4"});
    ASSERT_TRUE(waitForSource("voxlet_mic")) << "no voxlet_mic source";
    Recorder mic("voxlet_mic", 1);
    EXPECT_EQ(cli->wait(), 0) << cli->out() << cli->err(); // records the whole session
    expectPhoneTone(mic.stop());
    expectPhoneTone(speaker.stop());
    EXPECT_TRUE(micGone());
    EXPECT_FALSE(hasSource("voxlet_mic"));
}

// Clicks sent every 500 ms arrive 24000 samples apart: a lost, repeated or
// trimmed frame moves a click by 960 samples. A machine stalled by load may
// make the tick repeat or the feed trim one frame, as designed, which moves
// the clicks on either side of it; more than that is a fault.
TEST_F(EndToEnd, ClicksKeepTheirSpacing) {
    PhoneProcess phone({"--click-every", "500"});
    ASSERT_GT(phone.port(), 0);
    auto cli = client(phone, {"--no-speaker", "--duration", "6"});
    ASSERT_TRUE(waitForSource("voxlet_mic"));
    Recorder mic("voxlet_mic", 1);
    EXPECT_EQ(cli->wait(), 0);
    std::vector<size_t> onsets = clickOnsets(mic.stop());

    ASSERT_GE(onsets.size(), 8u);
    std::vector<long> misplaced;
    for (size_t i = 2; i < onsets.size(); ++i) // the first second may still settle
        if (std::abs(long(onsets[i] - onsets[i - 1]) - 24000) > 48)
            misplaced.push_back(long(onsets[i] - onsets[i - 1]));
    EXPECT_LE(misplaced.size(), 2u) << "intervals off: " << ::testing::PrintToString(misplaced);
}

} // namespace
