// What a whole session cannot show of the phone link: the link kept after a
// time-out, descriptors released on failures, bad datagrams dropped, each
// request in one segment.
// (The request bytes, the replies and the error codes are checked by sessions.)
#include "Child.h"
#include "Kit.h"
#include "RemoteDevice.h"
#include "SessionError.h"
#include "Settings.h"
#include "Statistics.h"
#include "VoiceDecoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

using namespace kit;

namespace {

void configure(const char* host, int controlPort, int mediaPort, int transport = 3) {
    Settings::setTransportType(transport);
    Settings::setWifiServerAddr(host);
    Settings::setControlPort(controlPort);
    Settings::setMediaPort(mediaPort);
}

class RemoteDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        configure("127.0.0.1", localPort(mListener), mMediaPort);
        ASSERT_EQ(0, mDevice.setUp());
        mPeer = accept(mListener, nullptr, nullptr);
        ASSERT_GE(mPeer, 0);
        ASSERT_EQ(0, mDecoder.open());
    }
    void TearDown() override {
        mDevice.tearDown();
        for (int fd : {mPeer, mListener, mLocal})
            close(fd);
    }
    void sendFrame(uint32_t seq, int lengthDelta = 0) {
        sendDatagram(mLocal, mMediaPort, voiceFrame(seq, mPacket, lengthDelta));
    }
    int getFrame() { return mDevice.getFrame(&mDecoder, mPcm, 960, &mSeq); }

    RemoteDevice mDevice;
    int mListener = boundSocket(SOCK_STREAM), mPeer = -1, mLocal = boundSocket(SOCK_DGRAM);
    int mMediaPort = freeUdpPort();
    Bytes mPacket = opusPacket(48000, 960);
    OpusVoiceDecoder mDecoder{48000, 1};
    short mPcm[960];
    uint32_t mSeq = 0;
};

TEST_F(RemoteDeviceTest, TruncatedReplyTimesOutAndKeepsTheLink) {
    sendAll(mPeer, {0x65, 0, 0, 0, 2, 0});
    int version = -1;
    EXPECT_EQ(1, mDevice.checkServerProtocolVersion(&version));
    EXPECT_EQ(-1, version);
    EXPECT_EQ(0, mDevice.poll());
    EXPECT_EQ(11u, recvBytes(mPeer, 11).size());
    EXPECT_EQ((Bytes{0x69, 0, 0, 0, 0}), recvBytes(mPeer, 5));
}

TEST_F(RemoteDeviceTest, KeepAliveStopsForGoodAfterAFailedSend) {
    EXPECT_EQ(0, mDevice.poll());
    EXPECT_EQ((Bytes{0x69, 0, 0, 0, 0}), recvBytes(mPeer, 5));
    close(mPeer); // a plain close: the send after it meets EPIPE
    mPeer = -1;
    size_t fds = openFds().size();
    int result = 0;
    for (int i = 0; i < 200 && result == 0; ++i) {
        result = mDevice.poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(1, result);
    EXPECT_EQ(fds - 1, openFds().size()); // the control socket is closed
    EXPECT_EQ(1, mDevice.poll());
    EXPECT_EQ(1, mDevice.start());
}

// Anyone can forge the phone's address: malformed datagrams (a wrong length,
// a runt shorter than a header) and undecodable packets are dropped and
// counted; the next good frame is still taken, whole.
TEST_F(RemoteDeviceTest, BadDatagramsAreDroppedUntilAGoodFrame) {
    Statistics::getInstance()->reset();
    for (int i = 0; i < 150; ++i)
        sendFrame(100 + i, -1);
    sendFrame(2, +1);
    for (int i = 0; i < 3; ++i)
        sendDatagram(mLocal, mMediaPort, voiceFrame(300 + i, opusPacket(48000, 480)));
    sendDatagram(mLocal, mMediaPort, {0, 0, 0, 7, 0});
    sendFrame(9);
    EXPECT_EQ(0, getFrame());
    EXPECT_EQ(9u, mSeq);
    EXPECT_EQ(155, Statistics::getInstance()->badFrameCount);

    // A session that is no longer streaming gets no retry at all.
    std::atomic<int> state{3};
    mDevice.setSessionState(&state);
    sendFrame(11, +1);
    sendFrame(12);
    EXPECT_EQ(-1, getFrame());
    EXPECT_EQ(0, getFrame());
    EXPECT_EQ(12u, mSeq);
}

TEST(RemoteDeviceSetUp, ARefusedTransportOpensNothingAndTearDownIsSafe) {
    int listener = boundSocket(SOCK_STREAM);
    int mediaPort = freeUdpPort();
    std::set<int> before = openFds();
    RemoteDevice device;
    configure("127.0.0.1", localPort(listener), mediaPort, 1);
    EXPECT_NE(0, device.setUp());
    EXPECT_FALSE(readable(listener, 50)) << "a connection was made";
    EXPECT_EQ(1, device.checkServerProtocolVersion(nullptr));
    EXPECT_EQ(1, device.poll());
    device.tearDown();
    device.tearDown();
    EXPECT_EQ(before, openFds());
    close(listener);
}

// Split requests wait for the peer's delayed acknowledgement: each one must be
// readable whole as soon as any of it is. Port 0 is refused before connecting.
TEST(RemoteDeviceSetUp, PortZeroIsRefusedUnsentAndEachRequestLeavesInOneSegment) {
    int listener = boundSocket(SOCK_STREAM);
    RemoteDevice device;
    configure("127.0.0.1", localPort(listener), 0);
    EXPECT_EQ(ErrorMediaSocket, device.setUp());
    EXPECT_FALSE(readable(listener, 100)) << "connected although the media port is unusable";
    configure(" 127.0.0.1\r", localPort(listener), freeUdpPort()); // as a CRLF file leaves it
    ASSERT_EQ(0, device.setUp());
    int peer = accept(listener, nullptr, nullptr);
    struct {
        std::function<int()> request;
        size_t size;
        Bytes reply;
    } steps[] = {
        {[&] { return device.checkServerProtocolVersion(nullptr); }, 11, {0x65, 0, 0, 0, 2, 0, 1}},
        {[&] { return device.setCodecParameters(2, 2); }, 11, {0x66, 0, 0, 0, 1, 0}},
        {[&] { return device.start(); }, 5, {0x67, 0, 0, 0, 1, 0}},
        {[&] { return device.poll(); }, 5, {}},
        {[&] { return device.stop(); }, 5, {0x68, 0, 0, 0, 1, 0}},
    };
    for (auto& step : steps) {
        int result = -1;
        std::thread client([&] { result = step.request(); });
        ASSERT_TRUE(readable(peer, 2000));
        unsigned char got[64];
        EXPECT_EQ((ssize_t)step.size, recv(peer, got, sizeof got, MSG_DONTWAIT));
        if (!step.reply.empty())
            sendAll(peer, step.reply);
        client.join();
        EXPECT_EQ(0, result);
    }
    device.tearDown();
    close(peer);
    close(listener);
}

} // namespace
