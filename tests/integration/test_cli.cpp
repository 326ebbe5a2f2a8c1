// voxlet-cli as a user runs it, against voxlet-phone on loopback.
#include "Child.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

namespace {

using Cli = CliTest;

TEST_F(Cli, StreamsForTheDurationThenStopsCleanlyWithStatistics) {
    PhoneProcess phone({"--tone", "440"});
    auto c = cli(phone.port(), {"--duration", "1", "--stats"});
    ASSERT_EQ(c->wait(), 0) << c->err();
    std::string out = c->out();
    EXPECT_EQ(out.rfind("state 1\nstate 2\nstate 3\nstate 0\n", 0), 0u) << out;
    EXPECT_GT(numberAfter(out, "rxCount: "), 20) << out;
    EXPECT_FALSE(std::filesystem::exists(mDir + "/settings.dat")) << "the client never writes it";
}

// The settings file supplies what the options do not; an interrupt once
// connected disconnects cleanly.
TEST_F(Cli, SettingsFileTargetThenInterruptOnceConnected) {
    PhoneProcess phone;
    std::ofstream(mDir + "/settings.dat")
        << "transportType:1\nwifiServerAddr:127.0.0.1\ncontrolPort:" << phone.port()
        << "\nmediaPort:" << freeUdpPort() << "\n";
    auto cli = run({});
    ASSERT_TRUE(cli->waitForLine("state 2"));
    cli->signal(SIGINT);
    ASSERT_EQ(cli->wait(), 0) << cli->err();
    EXPECT_EQ(cli->out(), "state 1\nstate 2\nstate 3\nstate 0\n");
}

TEST_F(Cli, BadCommandLinesAreRefusedWithStatusTwo) {
    auto noAddress = run({});
    EXPECT_EQ(noAddress->wait(), 2);
    EXPECT_EQ(noAddress->err(), "Invalid target IP address.\n");
    for (std::vector<std::string> bad : {std::vector<std::string>{"--control-port", "12ab"},
                                         {"--media-port", "70000"},
                                         {"--media-port"},
                                         {"--duration", "-1"}}) {
        auto cli = run(bad);
        EXPECT_EQ(cli->wait(), 2) << bad[0];
        EXPECT_NE(cli->err().find("usage: voxlet-cli"), std::string::npos) << bad[0];
        EXPECT_EQ(cli->out(), "");
    }
}

} // namespace
