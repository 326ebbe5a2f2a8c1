// The control link's reads, skips and failures, against a raw loopback peer.
// (Its field encoding is checked by whole sessions.)
#include "ControlStream.h"
#include "Kit.h"
#include "vx_socket.h"

#include <gtest/gtest.h>

#include <thread>

using namespace kit;

TEST(SocketFunctions, ReadTimeoutGivesZeroThenQueuedBytesThenMinusOneAtTheEnd) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    unsigned char buf[16];
    EXPECT_EQ(0, vx_sock_read_timeout(buf, sizeof buf, sv[0], 50));
    sendAll(sv[1], {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(4, vx_sock_read_timeout(buf, 4, sv[0], 150));
    EXPECT_EQ(2, vx_sock_read_timeout(buf, sizeof buf, sv[0], 150));
    EXPECT_EQ(6, buf[1]);
    close(sv[1]);
    EXPECT_EQ(-1, vx_sock_read_timeout(buf, sizeof buf, sv[0], 150));
    close(sv[0]);
}

TEST(SocketFunctions, PortsOutsideSixteenBitsAreRefusedNotWrapped) {
    int listener = boundSocket(SOCK_STREAM);
    char loopback[] = "127.0.0.1";
    // port + 65536 would reach the listener if the number were cut to 16 bits.
    for (int bad : {localPort(listener) + 65536, -1})
        EXPECT_EQ(-5, WinSockStream(loopback, bad).open()) << bad;
    close(listener);
    for (int bad : {65536, -1, 65536 + 49152}) {
        int fd = vx_socket_inaddr_any_server(bad, SOCK_DGRAM);
        EXPECT_EQ(-1, fd) << bad;
        if (fd >= 0)
            close(fd);
    }
}

class WinSockStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, mStream.open());
        mPeer = accept(mListener, nullptr, nullptr);
        ASSERT_GE(mPeer, 0);
    }
    void TearDown() override {
        if (mPeer >= 0)
            close(mPeer);
        close(mListener);
    }

    char mHost[16] = "127.0.0.1";
    int mListener = boundSocket(SOCK_STREAM);
    int mPeer = -1;
    WinSockStream mStream{mHost, localPort(mListener)};
};

TEST_F(WinSockStreamTest, ReadCollectsPiecesAndSkipDropsExactly) {
    std::thread peer([&] {
        sendAll(mPeer, {1, 2});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sendAll(mPeer, {3, 4, 5, 6, 7, 8, 0x80, 0, 0, 1, 1, 2});
    });
    mStream.skip(0);
    mStream.skip(-3);
    unsigned char buf[5] = {};
    mStream.read(buf, 5);
    peer.join();
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5}), Bytes(buf, buf + 5));
    mStream.skip(2);
    EXPECT_EQ(8, mStream.read1());
    EXPECT_EQ(0x80000001u, mStream.read4()); // big-endian, all 32 bits
    EXPECT_EQ(258u, mStream.read2());
}

TEST_F(WinSockStreamTest, FailedSendClosesStreamWithoutSigpipe) {
    close(mPeer); // a plain close: the send after it meets EPIPE
    mPeer = -1;
    int p[2]; // made now, so that it cannot take the socket's number later
    ASSERT_EQ(0, pipe(p));
    std::set<int> before = openFds();
    int fault = -1;
    for (int i = 0; i < 200 && fault < 0; ++i) {
        fault = faultOf([&] { mStream.write1(0x69); });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(FaultSend, fault);
    // Exactly the stream's descriptor is gone. A pipe holding a byte on that
    // number shows a stale read: it would take the byte.
    std::set<int> after = openFds();
    ASSERT_EQ(before.size() - 1, after.size());
    int old = -1;
    for (int fd : before)
        old = after.count(fd) ? old : fd;
    ASSERT_EQ(old, dup2(p[0], old));
    ASSERT_EQ(1, write(p[1], "x", 1));
    unsigned char b;
    EXPECT_EQ(FaultReceive, faultOf([&] { mStream.read(&b, 1); }));
    EXPECT_TRUE(readable(old, 0));
    EXPECT_EQ(FaultSend, faultOf([&] { mStream.write1(1); }));
    sockaddr_storage host;
    EXPECT_EQ(-1, mStream.getPeerHost(&host));
    for (int fd : {old, p[0], p[1]})
        close(fd);
}

TEST_F(WinSockStreamTest, SendToAPhoneThatStopsReadingFailsInsteadOfBlocking) {
    std::vector<unsigned char> block(1 << 20, 0x69);
    int fault = -1;
    for (int i = 0; i < 256 && fault < 0; ++i)
        fault = faultOf([&] { mStream.write(block.data(), (int)block.size()); });
    EXPECT_EQ(FaultSend, fault);
    EXPECT_EQ(FaultSend, faultOf([&] { mStream.write1(1); })) << "the stream is closed";
}
