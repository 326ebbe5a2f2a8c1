#include "MediaStream.h"
#include "VoiceDecoder.h"
#include "link_loopback.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace linktest;

namespace {

constexpr short kUntouched = 0x5A5A;

// What a fresh libopus decoder makes of the packet.
std::vector<short> referenceDecode(int rate, const Bytes& packet) {
    int err = 0;
    OpusDecoder* d = opus_decoder_create(rate, 1, &err);
    std::vector<short> pcm(5760);
    int n = opus_decode(d, packet.data(), (opus_int32)packet.size(), pcm.data(), 5760, 0);
    opus_decoder_destroy(d);
    pcm.resize(n > 0 ? n : 0);
    return pcm;
}

} // namespace

class OpusVoiceDecoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, mStream.open());
        mSender = boundSocket(SOCK_DGRAM, "127.0.0.1");
    }
    void TearDown() override {
        mStream.close();
        close(mSender);
    }
    // Sends the frame and decodes it; mPcm has one spare slot past `samples`.
    bool decodeFrame(OpusVoiceDecoder& dec, const Bytes& frame, int samples) {
        sendDatagram(mSender, mStream.getBoundPort(), frame);
        mPcm.assign(samples + 1, kUntouched);
        return dec.decode(&mStream, mPcm.data(), samples, &mSequence);
    }
    bool pcmUntouched() {
        return std::all_of(mPcm.begin(), mPcm.end(), [](short s) { return s == kUntouched; });
    }
    // Decodes a valid frame at `rate` and checks it against libopus itself.
    void expectFrame(int rate, int samples, int cbrBytes, const Bytes& header) {
        OpusVoiceDecoder dec(rate, 1);
        ASSERT_EQ(0, dec.open());
        Bytes packet = opusPacket(rate, samples, cbrBytes);
        Bytes frame = voiceFrame(258, packet);
        EXPECT_EQ(header, Bytes(frame.begin(), frame.begin() + 6));
        ASSERT_TRUE(decodeFrame(dec, frame, samples));
        EXPECT_EQ(258u, mSequence);
        std::vector<short> ref = referenceDecode(rate, packet);
        ASSERT_EQ((size_t)samples, ref.size());
        EXPECT_TRUE(std::equal(ref.begin(), ref.end(), mPcm.begin()));
        EXPECT_EQ(kUntouched, mPcm[samples]);
    }

    WifiMediaStream mStream{0};
    int mSender = -1;
    std::vector<short> mPcm;
    unsigned int mSequence = 0;
};

TEST_F(OpusVoiceDecoderTest, DecodesOneFrameAtEitherRate) {
    expectFrame(48000, 960, 256, {0x00, 0x00, 0x01, 0x02, 0x01, 0x00}); // length 256
    expectFrame(16000, 320, 40, {0x00, 0x00, 0x01, 0x02, 0x00, 40});
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

// A stream that accepts any length (the base class check) must not make the
// decoder read a payload past its buffer.
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
    unsigned int seq = 0;
    EXPECT_EQ(FaultFraming, faultOf([&] { dec.decode(&stream, pcm, 960, &seq); }));
    EXPECT_EQ(9u, seq);
}
