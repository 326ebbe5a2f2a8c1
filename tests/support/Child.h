// The one child-process launcher of the tests: runs a program with its output
// going to memory files, so a test can wait for a line instead of a time.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdlib.h>
#include <string>
#include <sys/types.h>
#include <vector>

using namespace std::chrono_literals;

// Used from the test's thread only.
class Child {
  public:
    Child(const std::string& program, std::vector<std::string> args,
          const std::string& workingDirectory = "");
    ~Child(); // SIGTERM, then SIGKILL after 3 s, if it still runs

    // Waits until standard output holds `text` followed by a line end; false
    // if the program ended first (or after `limit`, a safety net).
    bool waitForLine(const std::string& text, std::chrono::milliseconds limit = 60s);
    void signal(int sig);
    // Exit status (128 + signal when killed); -1 when `limit` passed and it was killed.
    int wait(std::chrono::milliseconds limit = 60s);
    std::string out() const { return contents(mOut); }
    std::string err() const { return contents(mErr); }
    pid_t pid() const { return mPid; }

  private:
    bool reap(int options); // whether it has ended (then mStatus is set)
    static std::string contents(int fd);

    pid_t mPid = -1;
    int mStatus = -1;
    int mOut = -1, mErr = -1; // the memory files its output goes to
};

// voxlet-phone on 127.0.0.1, on a free port unless the args give --port.
class PhoneProcess : public Child {
  public:
    explicit PhoneProcess(std::vector<std::string> args = {});
    int port() const { return mPort; } // -1 if it never listened
    std::string stop();                // SIGTERM, wait; everything it printed

  private:
    int mPort = -1;
};

// The parts of a test's loopback traffic.
int freeUdpPort();   // a UDP port that was free a moment ago
int closedTcpPort(); // a loopback TCP port where nothing listens any more
// The number after `key` in `text`, or -1.
long numberAfter(const std::string& text, const std::string& key);

// A test's fixture for voxlet-cli runs: an empty working directory of its
// own (no settings file), and the client aimed at a loopback control port.
class CliTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(mkdtemp(mDir.data())); }
    void TearDown() override { std::filesystem::remove_all(mDir); }
    std::unique_ptr<Child> run(std::vector<std::string> args) { // voxlet-cli in mDir
        return std::make_unique<Child>(VOXLET_CLI_BIN, std::move(args), mDir);
    }
    std::unique_ptr<Child> cli(int controlPort, std::vector<std::string> more = {}) {
        more.insert(more.begin(),
                    {"--address", "127.0.0.1", "--control-port", std::to_string(controlPort),
                     "--media-port", std::to_string(freeUdpPort()), "--no-speaker"});
        return run(std::move(more));
    }
    std::string mDir = "/tmp/voxlet-cli-test.XXXXXX";
};
