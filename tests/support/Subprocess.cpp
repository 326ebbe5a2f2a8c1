#include "Subprocess.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

void drain(int fd, std::string* into) {
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            into->append(buf, (size_t)n);
    close(fd);
}

} // namespace

Subprocess::Subprocess(const std::string& program, const std::vector<std::string>& args,
                       const std::string& workingDirectory) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0)
            _exit(127);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    mPid = pid;
    mOutReader = std::thread(drain, out[0], &mOut);
    mErrReader = std::thread(drain, err[0], &mErr);
}

Subprocess::~Subprocess() {
    if (mPid > 0 && mStatus < 0)
        wait(0);
    if (mOutReader.joinable())
        mOutReader.join();
    if (mErrReader.joinable())
        mErrReader.join();
}

void Subprocess::signal(int sig) {
    if (mPid > 0 && mStatus < 0)
        kill(mPid, sig);
}

int Subprocess::wait(int timeoutMs) {
    if (mPid <= 0)
        return -1;
    if (mStatus >= 0)
        return mStatus;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    bool timedOut = false;
    for (;;) {
        pid_t r = waitpid(mPid, &status, WNOHANG);
        if (r == mPid)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
            timedOut = true;
            break;
        }
        usleep(10000);
    }
    if (mOutReader.joinable())
        mOutReader.join();
    if (mErrReader.joinable())
        mErrReader.join();
    if (timedOut)
        mStatus = 1000;
    else
        mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return timedOut ? -1 : mStatus;
}

std::string Subprocess::out() {
    return mStatus >= 0 ? mOut : std::string();
}
std::string Subprocess::err() {
    return mStatus >= 0 ? mErr : std::string();
}
