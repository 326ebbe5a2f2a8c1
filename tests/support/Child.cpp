#include "Child.h"
#include "Kit.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

Child::Child(const std::string& program, std::vector<std::string> args,
             const std::string& workingDirectory)
    : mOut(memfd_create("out", MFD_CLOEXEC)), mErr(memfd_create("err", MFD_CLOEXEC)) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, mOut, 1);
    posix_spawn_file_actions_adddup2(&actions, mErr, 2);
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
    if (mOut < 0 || mErr < 0 ||
        posix_spawn(&mPid, program.c_str(), &actions, &attr, argv.data(), environ) != 0)
        mPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
}

Child::~Child() {
    if (mPid > 0 && mStatus < 0) {
        signal(SIGTERM);
        wait(3s);
    }
    close(mOut);
    close(mErr);
}

std::string Child::contents(int fd) {
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, (off_t)text.size())) > 0;)
        text.append(buffer, (size_t)n);
    return text;
}

bool Child::reap(int options) {
    int status = 0;
    if (mStatus < 0 && mPid > 0 && waitpid(mPid, &status, options) == mPid)
        mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return mStatus >= 0;
}

bool Child::waitForLine(const std::string& text, std::chrono::milliseconds limit) {
    auto found = [&] {
        const std::string o = out();
        size_t at = o.find(text);
        return at != std::string::npos && o.find('\n', at) != std::string::npos;
    };
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!found() && !reap(WNOHANG) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return found();
}

void Child::signal(int sig) {
    if (mPid > 0 && mStatus < 0)
        kill(mPid, sig);
}

int Child::wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (mPid > 0 && !reap(WNOHANG) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    if (mPid <= 0 || reap(WNOHANG))
        return mPid > 0 ? mStatus : -1;
    kill(mPid, SIGKILL);
    reap(0);
    return -1;
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
