// Runs a program with arguments, collecting its standard output and error.
#pragma once

#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

class Subprocess {
  public:
    Subprocess(const std::string& program, const std::vector<std::string>& args,
               const std::string& workingDirectory = "");
    ~Subprocess(); // kills the program if it still runs
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    void signal(int sig);
    // Waits up to `timeoutMs` for the exit; kills it (SIGKILL) on timeout and
    // returns -1. Otherwise the exit status, or 128 + signal.
    int wait(int timeoutMs = 30000);
    // What it wrote; empty until wait() has returned.
    std::string out();
    std::string err();

  private:
    pid_t mPid = -1;
    int mStatus = -1;
    int mOutFd = -1, mErrFd = -1;
    std::string mOut, mErr; // written by the readers until wait() joins them
    std::thread mOutReader, mErrReader;
};
