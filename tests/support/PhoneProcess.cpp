#include "PhoneProcess.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

bool hasOption(const std::vector<std::string>& args, const std::string& name) {
    for (const std::string& arg : args) {
        if (arg == name || arg.rfind(name + "=", 0) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

PhoneProcess::PhoneProcess(std::vector<std::string> args) {
    if (!hasOption(args, "--port")) {
        args.insert(args.end(), {"--port", "0"});
    }
    if (!hasOption(args, "--bind")) {
        args.insert(args.end(), {"--bind", "127.0.0.1"});
    }
    std::vector<char*> argv;
    std::string bin = VOXLET_PHONE_BIN;
    argv.push_back(bin.data());
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        mReaped = true;
        mPipesClosed = true;
        return;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        mReaped = true;
        mPipesClosed = true;
        return;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The test process may block or ignore signals; the phone must not inherit that.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    int spawned = posix_spawn(&mPid, bin.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(out[0]);
        close(err[0]);
        mPid = -1;
        mReaped = true;
        mExitStatus = 127;
        mPipesClosed = true;
        return;
    }
    mDrain = std::thread(&PhoneProcess::drain, this, out[0], err[0]);

    std::unique_lock<std::mutex> lock(mMutex);
    const std::string marker = "listening on ";
    mOutputCond.wait_for(lock, std::chrono::seconds(5), [&] {
        size_t at = mStdout.find(marker);
        return mPipesClosed ||
               (at != std::string::npos && mStdout.find('\n', at) != std::string::npos);
    });
    size_t at = mStdout.find(marker);
    if (at != std::string::npos) {
        size_t end = mStdout.find('\n', at);
        size_t colon = mStdout.rfind(':', end);
        if (end != std::string::npos && colon != std::string::npos && colon > at) {
            mPort = std::atoi(mStdout.substr(colon + 1, end - colon - 1).c_str());
        }
    }
}

PhoneProcess::~PhoneProcess() {
    if (!mReaped) {
        stop();
    }
    if (mDrain.joinable()) {
        mDrain.join();
    }
}

void PhoneProcess::drain(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            std::lock_guard<std::mutex> lock(mMutex);
            (i == 0 ? mStdout : mStderr).append(buffer, static_cast<size_t>(n));
            mOutputCond.notify_all();
        }
    }
    for (pollfd& p : fds) {
        if (p.fd >= 0) {
            close(p.fd);
        }
    }
    std::lock_guard<std::mutex> lock(mMutex);
    mPipesClosed = true;
    mOutputCond.notify_all();
}

bool PhoneProcess::reap(bool block) const {
    if (mReaped) {
        return true;
    }
    int status = 0;
    pid_t r;
    do {
        r = waitpid(mPid, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
        return false;
    }
    mReaped = true; // also on an error: the pid must never be signalled again
    if (r == mPid) {
        mExitStatus = WIFEXITED(status)     ? WEXITSTATUS(status)
                      : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                            : -1;
    }
    return true;
}

int PhoneProcess::port() const {
    return mPort;
}

bool PhoneProcess::running() const {
    return !reap(false);
}

bool PhoneProcess::waitExit(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reap(false)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (mDrain.joinable()) {
        mDrain.join();
    }
    return true;
}

std::string PhoneProcess::stop() {
    if (mPid > 0 && !reap(false)) {
        kill(mPid, SIGTERM);
        if (!waitExit(3000)) {
            kill(mPid, SIGKILL);
            reap(true);
        }
    }
    if (mDrain.joinable()) {
        mDrain.join();
    }
    return standardOutput();
}

int PhoneProcess::exitStatus() const {
    reap(false);
    return mExitStatus;
}

std::string PhoneProcess::standardOutput() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mStdout;
}

std::string PhoneProcess::standardError() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mStderr;
}

int freeUdpPort() {
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int port = -1;
    if (fd >= 0) {
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        socklen_t length = sizeof any;
        if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&any), &length) == 0) {
            port = ntohs(any.sin6_port);
        }
        close(fd);
        if (port > 0) {
            return port;
        }
    }
    // A kernel without IPv6: the IPv4 loopback alone.
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in loop{};
    loop.sin_family = AF_INET;
    loop.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof loop;
    if (bind(fd, reinterpret_cast<sockaddr*>(&loop), sizeof loop) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&loop), &length) == 0) {
        port = ntohs(loop.sin_port);
    }
    close(fd);
    return port;
}
