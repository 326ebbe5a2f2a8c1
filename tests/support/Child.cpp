#include "Child.h"
#include "Kit.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
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
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        std::lock_guard<std::mutex> lock(mMutex);
        into.append(buffer, (size_t)n);
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
    bool killed = false;
    while (waitpid(mPid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
            killed = true;
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    joinDrains();
    return killed ? -1 : mStatus;
}

std::string Child::out() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mOut;
}

std::string Child::err() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mErr;
}

namespace {

std::vector<std::string> withLoopbackDefaults(std::vector<std::string> args) {
    const std::pair<std::string, std::string> defaults[] = {{"--port", "0"},
                                                            {"--bind", "127.0.0.1"}};
    for (const auto& [name, value] : defaults)
        if (std::find(args.begin(), args.end(), name) == args.end())
            args.insert(args.end(), {name, value});
    return args;
}

// A port that was free a moment ago (a stream one was listening then).
int boundPort(int type) {
    int fd = kit::boundSocket(type);
    int port = kit::localPort(fd);
    close(fd);
    return port;
}

} // namespace

PhoneProcess::PhoneProcess(std::vector<std::string> args)
    : Child(VOXLET_PHONE_BIN, withLoopbackDefaults(std::move(args))) {
    if (!waitForLine("listening on "))
        return;
    std::string text = out();
    size_t end = text.find('\n', text.find("listening on "));
    mPort = std::atoi(text.c_str() + text.rfind(':', end) + 1);
}

std::string PhoneProcess::stop() {
    signal(SIGTERM);
    wait(10s);
    return out();
}

int freeUdpPort() {
    return boundPort(SOCK_DGRAM);
}

int closedTcpPort() {
    return boundPort(SOCK_STREAM);
}

long numberAfter(const std::string& text, const std::string& key) {
    size_t at = text.find(key);
    if (at == std::string::npos)
        return -1;
    char* end = nullptr;
    long value = std::strtol(text.c_str() + at + key.size(), &end, 10);
    return end == text.c_str() + at + key.size() ? -1 : value;
}

void CliTest::SetUp() {
    char tmpl[] = "/tmp/voxlet-cli-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    mDir = tmpl;
}

void CliTest::TearDown() {
    std::filesystem::remove_all(mDir);
}

std::unique_ptr<Child> CliTest::cli(int controlPort, std::vector<std::string> more) {
    std::vector<std::string> args = {"--address",      "127.0.0.1",
                                     "--control-port", std::to_string(controlPort),
                                     "--media-port",   std::to_string(freeUdpPort()),
                                     "--no-speaker"};
    args.insert(args.end(), more.begin(), more.end());
    return run(args);
}

std::unique_ptr<Child> CliTest::run(std::vector<std::string> args) {
    return std::make_unique<Child>(VOXLET_CLI_BIN, std::move(args), mDir);
}
