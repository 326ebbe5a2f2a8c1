// Runs voxlet-phone as a child process for a test.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

class PhoneProcess {
  public:
    // Starts voxlet-phone (VOXLET_PHONE_BIN) with `args` plus --port 0 --bind
    // 127.0.0.1 unless the args give them; waits (up to 5 s) for the
    // "listening on" line. If the phone exits first (bad options, a refused
    // file), port() is -1 and exitStatus() tells why.
    explicit PhoneProcess(std::vector<std::string> args = {});
    ~PhoneProcess(); // stops it if still running (SIGTERM, then SIGKILL after 3 s)
    PhoneProcess(const PhoneProcess&) = delete;
    PhoneProcess& operator=(const PhoneProcess&) = delete;

    int port() const; // the control port it listens on, -1 if it never did
    bool running() const;
    // SIGTERM, waits, returns everything it wrote to stdout.
    std::string stop();
    // Waits up to `timeoutMs` for the phone to exit by itself; false if it is
    // still running.
    bool waitExit(int timeoutMs);

    // Exit code once it has exited (128 + signal when killed), -1 before.
    int exitStatus() const;
    std::string standardOutput() const;
    std::string standardError() const;

  private:
    void drain(int outFd, int errFd);
    bool reap(bool block) const;

    pid_t mPid = -1;
    int mPort = -1;

    // Reaping state: the test's thread only. Mutable so running() can reap.
    mutable bool mReaped = false;
    mutable int mExitStatus = -1;

    // The drain thread appends the child's output; the test's thread reads it.
    // Guarded by mMutex; mOutputCond signals new stdout bytes and the end of both pipes.
    std::thread mDrain;
    mutable std::mutex mMutex;
    std::condition_variable mOutputCond;
    std::string mStdout;
    std::string mStderr;
    bool mPipesClosed = false;
};

// A UDP port on loopback that was free a moment ago.
int freeUdpPort();
