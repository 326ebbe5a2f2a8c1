#include "Child.h"
#include "Kit.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

Child::Child(const std::string& program, std::vector<std::string> args,
             const std::string& workingDirectory) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    // The test may block or ignore signals; the child must not inherit that.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGPIPE})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (posix_spawn(&mPid, program.c_str(), &actions, &attr, argv.data(), environ) != 0)
        mPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out[1]);
    close(err[1]);
    mDrainOut = std::thread(&Child::drain, this, out[0], std::ref(mOut));
    mDrainErr = std::thread(&Child::drain, this, err[0], std::ref(mErr));
}

Child::~Child() {
    if (mPid > 0 && mStatus < 0) {
        signal(SIGTERM);
        wait(3s);
    }
    joinDrains();
}

void Child::drain(int fd, std::string& into) {
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);) {
        std::lock_guard<std::mutex> lock(mMutex);
        into.append(buffer, (size_t)std::max<ssize_t>(n, 0));
        mChanged.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lock(mMutex);
    mClosed |= &into == &mOut;
    mChanged.notify_all();
}

void Child::joinDrains() {
    for (std::thread* t : {&mDrainOut, &mDrainErr})
        if (t->joinable())
            t->join();
}

bool Child::waitForLine(const std::string& text, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mMutex);
    auto found = [&] {
        size_t at = mOut.find(text);
        return at != std::string::npos && mOut.find('\n', at) != std::string::npos;
    };
    mChanged.wait_for(lock, limit, [&] { return found() || mClosed; });
    return found();
}

void Child::signal(int sig) {
    if (mPid > 0 && mStatus < 0)
        kill(mPid, sig);
}

int Child::wait(std::chrono::milliseconds limit) {
    if (mPid <= 0)
        return -1;
    if (mStatus >= 0)
        return mStatus;
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(mPid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    if (ended == 0 && kill(mPid, SIGKILL) == 0)
        waitpid(mPid, &status, 0);
    mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    joinDrains();
    return ended == 0 ? -1 : mStatus;
}

static std::vector<std::string> onLoopback(std::vector<std::string> args) {
    if (std::find(args.begin(), args.end(), "--port") == args.end())
        args.insert(args.end(), {"--port", "0"});
    args.insert(args.end(), {"--bind", "127.0.0.1"});
    return args;
}

PhoneProcess::PhoneProcess(std::vector<std::string> args)
    : Child(VOXLET_PHONE_BIN, onLoopback(std::move(args))) {
    if (waitForLine("listening on "))
        mPort = (int)numberAfter(out(), "listening on 127.0.0.1:");
}

std::string PhoneProcess::stop() {
    signal(SIGTERM);
    wait(10s);
    return out();
}

// A port that was free a moment ago (a stream one was listening then).
static int closedPort(int type) {
    int fd = kit::boundSocket(type);
    int port = kit::localPort(fd);
    close(fd);
    return port;
}

int freeUdpPort() {
    return closedPort(SOCK_DGRAM);
}

int closedTcpPort() {
    return closedPort(SOCK_STREAM);
}

long numberAfter(const std::string& text, const std::string& key) {
    size_t at = text.find(key);
    long value = -1;
    if (at != std::string::npos)
        std::sscanf(text.c_str() + at + key.size(), "%ld", &value);
    return value;
}
