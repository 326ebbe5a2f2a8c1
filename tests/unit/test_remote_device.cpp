// What a whole session cannot show of the phone link: bad datagrams dropped
// and counted, each request in one segment, port 0 refused unsent and no
// request without a link.
// (The request bytes, replies, time-outs and error codes are checked by sessions.)
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
#include <thread>

using namespace kit;

namespace {

void configure(const char* host, int controlPort, int mediaPort) {
    Settings::setTransportType(3);
    Settings::setWifiServerAddr(host);
    Settings::setControlPort(controlPort);
    Settings::setMediaPort(mediaPort);
}

// Anyone can forge the phone's address: malformed datagrams (a wrong length,
// a runt, an empty or undecodable payload) are dropped and counted, well past
// any small retry limit; the next good frame is still taken, whole.
TEST(RemoteDevice, BadDatagramsAreDroppedUntilAGoodFrame) {
    int listener = boundSocket(SOCK_STREAM), local = boundSocket(SOCK_DGRAM);
    int mediaPort = freeUdpPort();
    configure("127.0.0.1", localPort(listener), mediaPort);
    RemoteDevice device;
    ASSERT_EQ(0, device.setUp());
    OpusVoiceDecoder decoder(48000, 1);
    ASSERT_EQ(0, decoder.open());
    const Bytes packet = opusPacket(48000, 960);
    auto send = [&](const Bytes& b) { sendDatagram(local, mediaPort, b); };
    short pcm[960];
    uint32_t seq = 0;
    auto getFrame = [&] { return device.getFrame(&decoder, pcm, 960, &seq); };

    Statistics::getInstance()->reset();
    for (int i = 0; i < 150; ++i)
        send(voiceFrame(100 + i, packet, -1));
    send(voiceFrame(2, packet, +1));
    send(voiceFrame(3, {}));
    send(voiceFrame(4, opusPacket(48000, 480)));
    send({0, 0, 0, 7, 0});
    send(voiceFrame(9, packet));
    EXPECT_EQ(0, getFrame());
    EXPECT_EQ(9u, seq);
    EXPECT_EQ(154, Statistics::getInstance()->badFrameCount);

    // A session that is no longer streaming gets no retry at all.
    std::atomic<int> state{3};
    device.setSessionState(&state);
    send(voiceFrame(11, packet, +1));
    send(voiceFrame(12, packet));
    EXPECT_EQ(-1, getFrame());
    EXPECT_EQ(0, getFrame());
    EXPECT_EQ(12u, seq);
    device.tearDown();
    close(listener);
    close(local);
}

// Split requests wait for the peer's delayed acknowledgement: each one must be
// readable whole as soon as any of it is.
TEST(RemoteDevice, PortZeroIsRefusedUnsentAndEachRequestLeavesInOneSegment) {
    int listener = boundSocket(SOCK_STREAM);
    RemoteDevice device;
    configure("127.0.0.1", localPort(listener), 0);
    EXPECT_EQ(ErrorMediaSocket, device.setUp());
    EXPECT_FALSE(readable(listener, 100)) << "connected although the media port is unusable";
    for (int result : {device.checkServerProtocolVersion(nullptr), device.start(), device.poll()})
        EXPECT_EQ(1, result) << "without a link every request fails";
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
