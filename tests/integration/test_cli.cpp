// voxlet-cli end to end against voxlet-phone on loopback.
#include "Child.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/voxlet-cli.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        unlink((dir + "/settings.dat").c_str());
        rmdir(dir.c_str());
    }
    std::unique_ptr<Child> run(std::vector<std::string> args) {
        return std::make_unique<Child>(VOXLET_CLI_BIN, args, dir);
    }
    std::vector<std::string> target(const PhoneProcess& phone) {
        return {"--address",      "127.0.0.1",
                "--control-port", std::to_string(phone.port()),
                "--media-port",   std::to_string(freeUdpPort())};
    }
    std::string dir;
};

TEST_F(Cli, StreamsForTheDurationThenStopsCleanlyWithStatistics) {
    PhoneProcess phone({"--tone", "440"});
    auto args = target(phone);
    args.insert(args.end(), {"--duration", "1", "--stats", "--no-speaker"});
    auto cli = run(args);
    ASSERT_EQ(cli->wait(), 0) << cli->err();
    std::string out = cli->out();
    EXPECT_EQ(out.rfind("state 1\nstate 2\nstate 3\nstate 0\n", 0), 0u) << out;
    EXPECT_NE(out.find("rxCount: "), std::string::npos) << out;
    EXPECT_EQ(out.find("rxCount: 0\r"), std::string::npos) << "frames should have arrived";
    EXPECT_EQ(out.find("error"), std::string::npos);
    // The client never writes the settings file.
    EXPECT_NE(access((dir + "/settings.dat").c_str(), F_OK), 0);
}

TEST_F(Cli, InterruptDisconnectsCleanly) {
    PhoneProcess phone;
    auto cli = run(target(phone));
    // Give it time to connect; the CLI defers a stop until it is connected.
    usleep(700000);
    cli->signal(SIGINT);
    ASSERT_EQ(cli->wait(), 0) << cli->err();
    EXPECT_EQ(cli->out(), "state 1\nstate 2\nstate 3\nstate 0\n");
}

TEST_F(Cli, SettingsFileSuppliesWhatTheOptionsDoNot) {
    PhoneProcess phone;
    std::ofstream(dir + "/settings.dat")
        << "transportType:1\nwifiServerAddr:127.0.0.1\ncontrolPort:" << phone.port()
        << "\nmediaPort:" << freeUdpPort() << "\n";
    auto cli = run({"--duration", "0"});
    ASSERT_EQ(cli->wait(), 0) << cli->err();
    EXPECT_EQ(cli->out(), "state 1\nstate 2\nstate 3\nstate 0\n");
}

TEST_F(Cli, SessionErrorsPrintTheWindowsMessageAndExitOne) {
    int closedPort;
    {
        PhoneProcess phone;
        closedPort = phone.port();
    }
    auto cli = run({"--address", "127.0.0.1", "--control-port", std::to_string(closedPort)});
    EXPECT_EQ(cli->wait(), 1);
    EXPECT_EQ(cli->out(), "state 1\nstate 0\nerror -5: Fail to connect to server.\n");

    PhoneProcess refusing({"--start-status", "1"});
    auto args = target(refusing);
    auto second = run(args);
    EXPECT_EQ(second->wait(), 1);
    EXPECT_EQ(second->out(), "state 1\nstate 0\nerror -8: Cannot start mic on Android phone.\n");
}

TEST_F(Cli, BadCommandLinesAreRefusedWithStatusTwo) {
    auto noAddress = run({});
    EXPECT_EQ(noAddress->wait(), 2);
    EXPECT_EQ(noAddress->err(), "Invalid target IP address.\n");
    EXPECT_EQ(noAddress->out(), "");

    for (std::vector<std::string> bad : {std::vector<std::string>{"--control-port", "abc"},
                                         {"--media-port", "70000"},
                                         {"--media-port"},
                                         {"--duration", "-1"},
                                         {"--frobnicate"}}) {
        auto cli = run(bad);
        EXPECT_EQ(cli->wait(), 2) << bad[0];
        EXPECT_NE(cli->err().find("usage: voxlet-cli"), std::string::npos) << bad[0];
        EXPECT_EQ(cli->out(), "");
    }
}

TEST_F(Cli, AnOverlongAddressIsTruncatedAndFailsToConnect) {
    auto cli = run({"--address", std::string(10000, 'a'), "--control-port", "9"});
    EXPECT_EQ(cli->wait(), 1);
    EXPECT_EQ(cli->out(), "state 1\nstate 0\nerror -5: Fail to connect to server.\n");
}

} // namespace
