#include "RemoteDevice.h"
#include "Settings.h"
#include "Statistics.h"
#include "VoiceDecoder.h"
#include "link_loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

using namespace linktest;

namespace {

void configure(const char* host, int controlPort, int mediaPort, int transport = 3) {
    Settings::setTransportType(transport);
    Settings::setWifiServerAddr(host);
    Settings::setControlPort(controlPort);
    Settings::setMediaPort(mediaPort);
}

} // namespace

// A session set up against a scripted phone on 127.0.0.1. Replies are queued
// on the connection before the request goes out; the requests are read after.
class RemoteDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int port = 0;
        mListener = tcpListener(&port);
        mMediaPort = freeUdpPort();
        configure("127.0.0.1", port, mMediaPort);
        ASSERT_EQ(0, mDevice.setUp());
        mPeer = accept(mListener, nullptr, nullptr);
        ASSERT_GE(mPeer, 0);
        mLocal = boundSocket(SOCK_DGRAM, "127.0.0.1");
        ASSERT_EQ(0, mDecoder.open());
    }
    void TearDown() override {
        mDevice.tearDown();
        for (int fd : {mPeer, mListener, mLocal})
            close(fd);
    }
    void sendFrame(unsigned int seq, int lengthDelta = 0, int from = -1) {
        sendDatagram(from < 0 ? mLocal : from, mMediaPort, voiceFrame(seq, mPacket, lengthDelta));
    }
    int getFrame() { return mDevice.getFrame(&mDecoder, mPcm, 960, &mSeq); }

    RemoteDevice mDevice;
    int mListener = -1, mPeer = -1, mLocal = -1, mMediaPort = 0;
    Bytes mPacket = opusPacket(48000, 960);
    OpusVoiceDecoder mDecoder{48000, 1};
    short mPcm[960];
    unsigned int mSeq = 0;
};

TEST_F(RemoteDeviceTest, StartUpExchangeIsByteExact) {
    sendAll(mPeer, {0x65, 0, 0, 0, 2, 0, 7, 0x66, 0, 0, 0, 1, 0, 0x67, 0, 0, 0, 9, 0});
    int version = -1;
    EXPECT_EQ(0, mDevice.checkServerProtocolVersion(&version));
    EXPECT_EQ(7, version);
    EXPECT_EQ(0, mDevice.setCodecParameters(2, 2));
    EXPECT_EQ(0, mDevice.start()); // the announced length 9 is not consulted

    EXPECT_EQ((Bytes{0x65, 0, 0, 0, 6, 2, 3, 2, 1, 0, 0}), recvBytes(mPeer, 11));
    unsigned p = (unsigned)mMediaPort;
    EXPECT_EQ((Bytes{0x66, 0, 0, 0, 6, 2, 2, (unsigned char)(p >> 24), (unsigned char)(p >> 16),
                     (unsigned char)(p >> 8), (unsigned char)p}),
              recvBytes(mPeer, 11));
    EXPECT_EQ((Bytes{0x67, 0, 0, 0, 0}), recvBytes(mPeer, 5));
}

TEST_F(RemoteDeviceTest, RefusalsAndWrongReplies) {
    // Refused version (status 10, version 3); a codec reply with the wrong
    // code, whose last two bytes stay unread and so spoil the start reply.
    sendAll(mPeer, {0x65, 0, 0, 0, 2, 10, 3, 0x65, 0, 0, 0, 2, 0, 7, 0x67, 0, 0, 0, 1, 0});
    int version = -1;
    EXPECT_EQ(10, mDevice.checkServerProtocolVersion(&version));
    EXPECT_EQ(3, version);
    EXPECT_EQ(10, mDevice.setCodecParameters(2, 1));
    EXPECT_EQ(10, mDevice.start());
}

// The one 5 s wait of this suite.
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

TEST_F(RemoteDeviceTest, FrameFetchSkipsForeignAndMalformedDatagrams) {
    int foreign = boundSocket(SOCK_DGRAM, "127.0.0.2");
    sendFrame(1, 0, foreign);
    sendFrame(2, +1);
    sendFrame(3);
    EXPECT_EQ(0, getFrame());
    EXPECT_EQ(3u, mSeq);
    close(foreign);
}

// Anyone can forge the phone's address: malformed datagrams (a wrong length,
// a runt shorter than a header) and undecodable packets are dropped and
// counted; the next good frame is still taken, whole.
TEST_F(RemoteDeviceTest, BadDatagramsAreDroppedUntilAGoodFrame) {
    Statistics::getInstance()->reset();
    for (int i = 0; i < 150; ++i)
        sendFrame(100 + i, -1);
    for (int i = 0; i < 3; ++i)
        sendDatagram(mLocal, mMediaPort, voiceFrame(300 + i, opusPacket(48000, 480)));
    sendDatagram(mLocal, mMediaPort, {0, 0, 0, 7, 0});
    sendFrame(9);
    EXPECT_EQ(0, getFrame());
    EXPECT_EQ(9u, mSeq);
    EXPECT_EQ(154, Statistics::getInstance()->badFrameCount);

    // A session that is no longer streaming gets no retry at all.
    std::atomic<int> state{3};
    mDevice.setSessionState(&state);
    sendFrame(11, +1);
    sendFrame(12);
    EXPECT_EQ(-1, getFrame());
    EXPECT_EQ(0, getFrame());
    EXPECT_EQ(12u, mSeq);
}

TEST(RemoteDeviceSetUp, FailuresOpenNothingAndTearDownIsSafe) {
    int port = 0;
    int listener = tcpListener(&port);
    int mediaPort = freeUdpPort();
    std::set<int> before = openFds();
    RemoteDevice device;
    configure("127.0.0.1", port, mediaPort, 1);
    EXPECT_EQ(-8, device.setUp());
    EXPECT_FALSE(readable(listener, 50)) << "a connection was made";
    EXPECT_EQ(1, device.checkServerProtocolVersion(nullptr));
    EXPECT_EQ(1, device.poll());
    device.tearDown();
    EXPECT_EQ(before, openFds());

    // Nothing listening, or a name that cannot exist: -5 and no media socket.
    int refusing = boundSocket(SOCK_STREAM, "127.0.0.1");
    std::string overlong = std::string(70, 'x') + ".example";
    for (const char* host : {"127.0.0.1", overlong.c_str()}) {
        before = openFds();
        configure(host, localPort(refusing), mediaPort);
        EXPECT_EQ(-5, device.setUp()) << host;
        EXPECT_EQ(before, openFds()) << host;
        device.tearDown();
        device.tearDown();
    }
    close(refusing);
    close(listener);
}
