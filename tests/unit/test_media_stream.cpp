// The media socket: datagrams read in pieces with their rest dropped, a wait
// that a teardown ends, a port nobody else may share; the voice decoder.
// (Foreign senders and their traffic are checked by a whole session.)
#include "Child.h"
#include "Kit.h"
#include "MediaStream.h"
#include "VoiceDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace kit;

class WifiMediaStreamTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, mStream.open()); }
    void TearDown() override {
        mStream.close();
        close(mSender);
    }
    void send(const Bytes& b) { sendDatagram(mSender, mStream.getBoundPort(), b); }
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
    // A teardown ends a waiting receive (not its 3 s time-out) and every later one.
    int waiting = -1;
    std::thread pump([&] { waiting = fault(6); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    mStream.interrupt();
    pump.join();
    EXPECT_EQ(FaultReceive, waiting);
    EXPECT_EQ(FaultReceive, fault(6));
    EXPECT_EQ(0, mStream.close());
    EXPECT_EQ(-1, mStream.close());
    EXPECT_EQ(FaultReceive, fault(4));
    const std::set<int> closed = openFds(); // a later open and close leaves nothing open
    ASSERT_EQ(0, mStream.open());
    EXPECT_EQ(0, mStream.close());
    EXPECT_EQ(closed, openFds());
}

// A datagram port shared with another user's socket would hand it our voice.
TEST(WifiMediaStreamPort, NobodyElseSharesIt) {
    WifiMediaStream ours(freeUdpPort());
    ASSERT_EQ(0, ours.open());
    int fd = socket(AF_INET, SOCK_DGRAM, 0), on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = ipv4("0.0.0.0", ours.getBoundPort());
    EXPECT_NE(0, bind(fd, (sockaddr*)&a, sizeof a));
    close(fd);
}

namespace {

// Decoding through the stream, and its framing errors, are checked by
// RemoteDevice and whole sessions (at 48 kHz): here both rates against the
// reference decoder, and the states that refuse.
TEST(OpusVoiceDecoder, DecodesOneFrameAtEitherRateAsLibopusDoesAndOnlyWhenOpen) {
    for (int rate : {48000, 16000}) {
        const int samples = rate / 50;
        OpusVoiceDecoder dec(rate, 1);
        ASSERT_EQ(0, dec.open());
        Bytes packet = opusPacket(rate, sine(1000, rate, samples), rate == 48000 ? 256 : 40);
        std::vector<short> pcm(samples + 1, 0x5A5A), expected(5760);
        ASSERT_TRUE(dec.decode(packet.data(), (int)packet.size(), pcm.data(), samples)) << rate;
        int err = 0;
        OpusDecoder* ref = opus_decoder_create(rate, 1, &err);
        int n =
            opus_decode(ref, packet.data(), (opus_int32)packet.size(), expected.data(), 5760, 0);
        opus_decoder_destroy(ref);
        ASSERT_EQ(n, samples);
        EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + n, pcm.begin())) << rate;
        EXPECT_EQ(0x5A5A, pcm[samples]);
        EXPECT_FALSE(dec.decode(packet.data(), (int)packet.size(), pcm.data(), samples / 2));
        dec.close();
        dec.close();
        EXPECT_FALSE(dec.decode(packet.data(), (int)packet.size(), pcm.data(), samples));
    }
    Bytes packet = opusPacket(48000, 960);
    short pcm[960] = {};
    OpusVoiceDecoder never(48000, 1), stereo(48000, 2), badRate(44100, 1);
    EXPECT_FALSE(never.decode(packet.data(), (int)packet.size(), pcm, 960));
    EXPECT_EQ(-1, stereo.open());
    EXPECT_EQ(-1, badRate.open());
    EXPECT_FALSE(badRate.decode(packet.data(), (int)packet.size(), pcm, 960));
}

// A stream that accepts any length must not make the decoder read a payload
// past its buffer.
TEST(OpusVoiceDecoderState, OversizedPayloadIsRefusedEvenIfTheStreamAllowsIt) {
    struct PermissiveStream : MediaStream {
        Bytes header = {0, 0, 0, 9, 0x07, 0xD0}; // length 2000
        size_t pos = 0;
        int readData(unsigned char* dst, int n) override {
            for (int i = 0; i < n; ++i)
                dst[i] = pos < header.size() ? header[pos++] : 0;
            return n;
        }
    } stream;
    OpusVoiceDecoder dec(48000, 1);
    ASSERT_EQ(0, dec.open());
    short pcm[960];
    uint32_t seq = 0;
    EXPECT_EQ(FaultFraming, faultOf([&] { dec.decode(&stream, pcm, 960, &seq); }));
    EXPECT_EQ(9u, seq);
}

} // namespace
