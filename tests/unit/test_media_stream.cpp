// The media socket: datagrams read in pieces with their rest dropped, a port
// nobody else may share, and a wait that neither foreign traffic extends nor
// outlasts a teardown; the voice decoder reading from it.
#include "Child.h"
#include "Kit.h"
#include "MediaStream.h"
#include "VoiceDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
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

namespace {

constexpr short kUntouched = 0x5A5A;

// Voice frames through the decoder: exactly one 20 ms frame, or a refusal
// that leaves the caller's buffer alone.
class OpusVoiceDecoderTest : public WifiMediaStreamTest {
  protected:
    // Sends the frame and decodes it; mPcm has one spare slot past `samples`.
    bool decodeFrame(OpusVoiceDecoder& dec, const Bytes& frame, int samples) {
        send(frame);
        mPcm.assign(samples + 1, kUntouched);
        return dec.decode(&mStream, mPcm.data(), samples, &mSequence);
    }
    bool pcmUntouched() {
        return std::all_of(mPcm.begin(), mPcm.end(), [](short s) { return s == kUntouched; });
    }

    std::vector<short> mPcm;
    uint32_t mSequence = 0;
};

TEST_F(OpusVoiceDecoderTest, DecodesOneFrameAtEitherRateAsLibopusDoes) {
    for (int rate : {48000, 16000}) {
        const int samples = rate / 50;
        OpusVoiceDecoder dec(rate, 1);
        ASSERT_EQ(0, dec.open());
        Bytes packet = opusPacket(rate, sine(1000, rate, samples), rate == 48000 ? 256 : 40);
        ASSERT_TRUE(decodeFrame(dec, voiceFrame(258, packet), samples)) << rate;
        EXPECT_EQ(258u, mSequence);
        int err = 0;
        OpusDecoder* ref = opus_decoder_create(rate, 1, &err);
        std::vector<short> expected(5760);
        int n =
            opus_decode(ref, packet.data(), (opus_int32)packet.size(), expected.data(), 5760, 0);
        opus_decoder_destroy(ref);
        ASSERT_EQ(n, samples);
        EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + n, mPcm.begin())) << rate;
        EXPECT_EQ(kUntouched, mPcm[samples]);
    }
}

TEST_F(OpusVoiceDecoderTest, LengthFieldOffByOneIsAFramingError) {
    OpusVoiceDecoder dec(48000, 1);
    ASSERT_EQ(0, dec.open());
    for (int delta : {+1, -1}) {
        mSequence = 0;
        Bytes frame = voiceFrame(77, opusPacket(48000, 960), delta);
        EXPECT_EQ(FaultFraming, faultOf([&] { decodeFrame(dec, frame, 960); })) << delta;
        EXPECT_EQ(77u, mSequence);
        EXPECT_TRUE(pcmUntouched());
        mStream.skip();
    }
}

TEST_F(OpusVoiceDecoderTest, RefusesPayloadsThatAreNotOneFrame) {
    OpusVoiceDecoder dec(48000, 1);
    ASSERT_EQ(0, dec.open());
    EXPECT_FALSE(decodeFrame(dec, voiceFrame(1, {}), 960));
    EXPECT_TRUE(pcmUntouched());
    EXPECT_FALSE(decodeFrame(dec, voiceFrame(2, opusPacket(48000, 480)), 960)); // 10 ms
    EXPECT_TRUE(pcmUntouched());
    EXPECT_TRUE(decodeFrame(dec, voiceFrame(3, opusPacket(48000, 960)), 960));
}

TEST(OpusVoiceDecoderState, ClosedOrRefusedDecoderNeverDecodes) {
    Bytes packet = opusPacket(48000, 960);
    short pcm[960] = {};
    auto decodes = [&](OpusVoiceDecoder& d) {
        return d.decode(packet.data(), (int)packet.size(), pcm, 960);
    };
    OpusVoiceDecoder never(48000, 1), stereo(48000, 2), badRate(44100, 1), dec(48000, 1);
    EXPECT_FALSE(decodes(never));
    EXPECT_EQ(-1, stereo.open());
    EXPECT_EQ(-1, badRate.open());
    EXPECT_FALSE(decodes(badRate));
    ASSERT_EQ(0, dec.open());
    EXPECT_TRUE(decodes(dec));
    dec.close();
    dec.close();
    EXPECT_FALSE(decodes(dec));
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
