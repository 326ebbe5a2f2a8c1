// Voice frames through the decoder: exactly one 20 ms frame, or a refusal
// that leaves the caller's buffer alone.
#include "Kit.h"
#include "MediaStream.h"
#include "VoiceDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kit;

namespace {

constexpr short kUntouched = 0x5A5A;

class OpusVoiceDecoderTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, mStream.open()); }
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

    WifiMediaStream mStream{0};
    int mSender = boundSocket(SOCK_DGRAM);
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
