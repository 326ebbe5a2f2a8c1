// The media socket: datagrams read in pieces with their rest dropped, a port
// nobody else may share, and a wait that neither foreign traffic extends nor
// outlasts a teardown.
#include "Child.h"
#include "Kit.h"
#include "MediaStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace kit;

class WifiMediaStreamTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, mStream.open()); }
    void TearDown() override {
        mStream.close();
        close(mSender);
    }
    void send(const Bytes& b, int from = -1) {
        sendDatagram(from < 0 ? mSender : from, mStream.getBoundPort(), b);
    }
    Bytes read(int n) {
        Bytes b(n);
        EXPECT_EQ(n, mStream.readData(b.data(), n));
        return b;
    }
    int fault(int n) {
        return faultOf([&] { mStream.readData(mScratch, n); });
    }

    WifiMediaStream mStream{0};
    int mSender = boundSocket(SOCK_DGRAM);
    unsigned char mScratch[2048];
};

TEST_F(WifiMediaStreamTest, DatagramIsReadInPiecesAndItsShortRestDropped) {
    EXPECT_EQ(0, mStream.readData(mScratch, 0)); // nothing queued: must not wait
    send({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
    EXPECT_EQ(FaultFraming, fault(1025)); // out of range: the datagram stays
    EXPECT_EQ(FaultFraming, fault(-1));
    EXPECT_EQ((Bytes{0, 1, 2, 3}), read(4));
    EXPECT_EQ(Bytes{4}, read(1));
    EXPECT_EQ(Bytes{5}, read(1));
    EXPECT_TRUE(mStream.isStreamNormal(6));
    EXPECT_FALSE(mStream.isStreamNormal(5));
    EXPECT_EQ((Bytes{6, 7, 8}), read(3));
    EXPECT_EQ(FaultFraming, fault(4)); // 3 left: dropped
    EXPECT_TRUE(mStream.isStreamNormal(0));
    send({1, 2, 3}); // short: dropped whole, the next one is read
    send({4, 5, 6, 7, 8});
    EXPECT_EQ(FaultFraming, fault(4));
    EXPECT_EQ((Bytes{4, 5, 6, 7}), read(4));
    EXPECT_TRUE(mStream.isStreamNormal(1));
    read(1);
    Bytes whole(1500); // longer than the buffer: cut
    for (size_t i = 0; i < whole.size(); ++i)
        whole[i] = (unsigned char)(i % 251);
    send(whole);
    EXPECT_EQ(Bytes(whole.begin(), whole.begin() + 4), read(4));
    EXPECT_TRUE(mStream.isStreamNormal(1020));
    EXPECT_EQ(Bytes(whole.begin() + 4, whole.begin() + 1024), read(1020));
    EXPECT_EQ(0, mStream.close());
    EXPECT_EQ(-1, mStream.close());
    EXPECT_EQ(FaultReceive, fault(4));
}

// Foreign traffic goes on far longer than the 3 s wait; the wait must still
// end after 3 s. (That foreign frames are never seen is checked by a whole
// session.)
TEST_F(WifiMediaStreamTest, ForeignTrafficDoesNotExtendTheWait) {
    sockaddr_storage allowed{};
    sockaddr_in lo = ipv4("127.0.0.1", 0); // mapped and plain IPv4 compare equal
    memcpy(&allowed, &lo, sizeof lo);
    mStream.setAllowedSender(allowed);
    int foreign = boundSocket(SOCK_DGRAM, "127.0.0.2");
    std::atomic<bool> stop{false}, gaveUp{false};
    std::thread flood([&] {
        for (int i = 0; i < 100 && !stop; ++i) { // 10 s at most
            send({9, 9, 9, 9}, foreign);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        gaveUp = true;
    });
    int f = fault(4);
    bool floodStillRunning = !gaveUp;
    stop = true;
    flood.join();
    close(foreign);
    EXPECT_EQ(FaultTimeout, f);
    EXPECT_TRUE(floodStillRunning) << "the wait outlasted the foreign traffic";
    EXPECT_TRUE(mStream.isStreamNormal(0));
}

// Without the wake the read would end by its 3 s time-out instead.
TEST_F(WifiMediaStreamTest, TeardownEndsAWaitingReceiveAndEveryLaterOne) {
    int waiting = -1;
    std::thread pump([&] { waiting = fault(6); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    mStream.interrupt();
    pump.join();
    EXPECT_EQ(FaultReceive, waiting);
    EXPECT_EQ(FaultReceive, fault(6));
}

// Another user's socket on the port, with `option` (0 for none) set; -1 when
// it cannot bind. The descriptor is closed unless `keep`.
static int squat(const char* ip, int port, int option, bool keep) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0), on = 1;
    if (option != 0)
        setsockopt(fd, SOL_SOCKET, option, &on, sizeof on);
    sockaddr_in a = ipv4(ip, port);
    bool bound = bind(fd, (sockaddr*)&a, sizeof a) == 0;
    if (!bound || !keep)
        close(fd);
    return bound ? fd : -1;
}

TEST(WifiMediaStreamPort, NobodyElseSharesIt) {
    for (const char* ip : {"0.0.0.0", "127.0.0.1"}) {
        for (int option : {0, SO_REUSEADDR, SO_REUSEPORT}) {
            SCOPED_TRACE(std::string(ip) + " option " + std::to_string(option));
            int port = freeUdpPort();
            int squatter = squat(ip, port, option, true); // before the session
            ASSERT_GE(squatter, 0);
            WifiMediaStream before(port);
            EXPECT_EQ(-1, before.open());
            close(squatter);
            WifiMediaStream ours(port); // during the session
            ASSERT_EQ(0, ours.open());
            EXPECT_EQ(-1, squat(ip, port, option, false));
        }
    }
}
