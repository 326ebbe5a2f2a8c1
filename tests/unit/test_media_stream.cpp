// The media socket's datagram handling and its wait.
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
    send({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
    EXPECT_EQ((Bytes{0, 1, 2, 3}), read(4));
    EXPECT_EQ(Bytes{4}, read(1));
    EXPECT_EQ(Bytes{5}, read(1));
    EXPECT_TRUE(mStream.isStreamNormal(6));
    EXPECT_FALSE(mStream.isStreamNormal(5));
    EXPECT_EQ((Bytes{6, 7, 8}), read(3));
    EXPECT_EQ(FaultFraming, fault(4)); // 3 left: dropped
    EXPECT_TRUE(mStream.isStreamNormal(0));
    send({20, 21});
    EXPECT_EQ((Bytes{20, 21}), read(2));
}

TEST_F(WifiMediaStreamTest, EmptyAndOutOfRangeReadsLeaveTheSocketAlone) {
    EXPECT_EQ(0, mStream.readData(mScratch, 0)); // nothing queued: must not wait
    send({7, 8, 9});
    EXPECT_EQ(FaultFraming, fault(1025));
    EXPECT_EQ(FaultFraming, fault(-1));
    EXPECT_EQ((Bytes{7, 8, 9}), read(3));
}

TEST_F(WifiMediaStreamTest, ShortDatagramIsDroppedWholeAndLongOneIsCut) {
    send({1, 2, 3});
    send({4, 5, 6, 7, 8});
    EXPECT_EQ(FaultFraming, fault(4));
    EXPECT_EQ((Bytes{4, 5, 6, 7}), read(4));
    EXPECT_TRUE(mStream.isStreamNormal(1));
    read(1);
    Bytes whole(1500);
    for (size_t i = 0; i < whole.size(); ++i)
        whole[i] = (unsigned char)(i % 251);
    send(whole);
    EXPECT_EQ(Bytes(whole.begin(), whole.begin() + 4), read(4));
    EXPECT_TRUE(mStream.isStreamNormal(1020));
    EXPECT_EQ(Bytes(whole.begin() + 4, whole.begin() + 1024), read(1020));
}

TEST_F(WifiMediaStreamTest, CloseTwiceThenReadsFail) {
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
