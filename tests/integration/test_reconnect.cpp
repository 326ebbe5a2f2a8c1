// voxlet-cli when the phone cannot be reached: the bounded connect, quitting
// while connecting, and --reconnect's waits.
#include "Child.h"
#include "Kit.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

const std::string kFailed = "state 1\nstate 0\nerror -5: Fail to connect to server.\n";

// A loopback listener whose accept queue is full: a further connect never
// completes its handshake, as with a phone that does not answer.
struct StuckListener {
    StuckListener() {
        listen(fd, 0);
        sockaddr_in a = kit::ipv4("127.0.0.1", port);
        for (int i = 0; i < 16 && !full; ++i) {
            clients.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            connect(clients.back(), (sockaddr*)&a, sizeof a);
            pollfd p = {clients.back(), POLLOUT, 0};
            full = poll(&p, 1, 300) == 0;
        }
    }
    ~StuckListener() {
        for (int c : clients)
            close(c);
        close(fd);
    }
    const int fd = kit::boundSocket(SOCK_STREAM), port = kit::localPort(fd);
    bool full = false;
    std::vector<int> clients;
};

using Reconnect = CliTest;

// Nobody answers the handshake: the session ends as any failed connect does,
// after the connect limit. SIGTERM while it hangs ends the program at once
// with status 0, with or without --reconnect.
TEST_F(Reconnect, AConnectThatNeverCompletesFailsWithMinusFiveOrEndsAtATerm) {
    StuckListener phone;
    ASSERT_TRUE(phone.full);
    auto lasting = cli(phone.port);
    for (auto more : {std::vector<std::string>{}, std::vector<std::string>{"--reconnect"}}) {
        auto c = cli(phone.port, more);
        usleep(1500000);
        c->signal(SIGTERM);
        // Bounded well below the 10 s connect limit, so a connect that ran on
        // to its limit fails here.
        EXPECT_EQ(c->wait(std::chrono::milliseconds(6000)), 0) << c->err();
        EXPECT_EQ(c->out(), kFailed);
    }
    EXPECT_EQ(lasting->wait(std::chrono::milliseconds(40000)), 1);
    EXPECT_EQ(lasting->out(), kFailed);
}

// Failed sessions are retried after 1, 2, then 4 s; a signal during a wait
// ends the program at once with status 0.
TEST_F(Reconnect, RetriesAfterGrowingWaitsUntilSignalled) {
    auto c = cli(closedTcpPort(), {"--reconnect"});
    usleep(5000000); // attempts at 0, 1 and 3 s; the next one at 7 s
    c->signal(SIGINT);
    EXPECT_EQ(c->wait(std::chrono::milliseconds(6000)), 0) << c->err();
    EXPECT_EQ(c->out(), kFailed + "reconnecting in 1 s\n" + kFailed + "reconnecting in 2 s\n" +
                            kFailed + "reconnecting in 4 s\n");
}

} // namespace
