// voxlet-phone's parts on their own: request parser, frame builder, options,
// resampling.
#include "PcmSource.h"
#include "PhoneOptions.h"
#include "PhoneProtocol.h"

#include <gtest/gtest.h>

#include <vector>

using namespace voxlet_phone;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kVersion = {0x65, 0x00, 0x00, 0x00, 0x06, 0x02, 0x03, 0x02, 0x01, 0x00, 0x00};
const Bytes kCodec = {0x66, 0x00, 0x00, 0x00, 0x06, 0x02, 0x01, 0x00, 0x00, 0xC0, 0x00};
const Bytes kStart = {0x67, 0x00, 0x00, 0x00, 0x00};
const Bytes kKeepAlive = {0x69, 0x00, 0x00, 0x00, 0x00};

// Feeds `stream` in pieces of `chunk` bytes; returns the requests found and
// whether the parser failed.
std::vector<Bytes> parseAll(const Bytes& stream, size_t chunk, bool* failed) {
    RequestParser parser;
    std::vector<Bytes> found;
    *failed = false;
    for (size_t at = 0; at < stream.size();) {
        size_t piece = std::min(chunk, stream.size() - at);
        size_t used = 0;
        while (used < piece) {
            used += parser.feed(stream.data() + at + used, piece - used);
            if (parser.state() == RequestParser::State::Failed) {
                *failed = true;
                return found;
            }
            if (parser.state() == RequestParser::State::Complete) {
                const Request& r = parser.request();
                found.emplace_back(r.bytes, r.bytes + r.size);
                parser.next();
            }
        }
        at += piece;
    }
    return found;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

} // namespace

TEST(PhoneRequestParser, SplitsPipelinedRequestsWhateverTheChunking) {
    Bytes stream = concat({kVersion, kKeepAlive, kCodec, kStart, kKeepAlive});
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{7}, stream.size()}) {
        SCOPED_TRACE(chunk);
        bool failed = true;
        std::vector<Bytes> requests = parseAll(stream, chunk, &failed);
        EXPECT_FALSE(failed);
        EXPECT_EQ(requests, (std::vector<Bytes>{kVersion, kKeepAlive, kCodec, kStart, kKeepAlive}));
    }
}

TEST(PhoneRequestParser, FailsAtTheFirstByteThatCannotBeValid) {
    RequestParser unknown;
    const Bytes garbage = {0xFF, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(unknown.feed(garbage.data(), garbage.size()), 1u);
    EXPECT_EQ(unknown.state(), RequestParser::State::Failed);

    // A 4 GB length is refused at its header, before any payload is waited for.
    RequestParser huge;
    const Bytes hugeLength = {0x65, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x03};
    EXPECT_EQ(huge.feed(hugeLength.data(), hugeLength.size()), 5u);
    EXPECT_EQ(huge.state(), RequestParser::State::Failed);
    EXPECT_NE(huge.error().find("4294967295"), std::string::npos) << huge.error();

    // Lengths are exact in both directions.
    bool failed = false;
    parseAll({0x67, 0x00, 0x00, 0x00, 0x01, 0x00}, 1, &failed);
    EXPECT_TRUE(failed);
    parseAll({0x66, 0x00, 0x00, 0x00, 0x05, 2, 2, 0, 0, 0xC0}, 1, &failed);
    EXPECT_TRUE(failed);

    // A valid request before the garbage is still delivered.
    std::vector<Bytes> before = parseAll(concat({kKeepAlive, {0x00}}), 64, &failed);
    EXPECT_TRUE(failed);
    EXPECT_EQ(before, std::vector<Bytes>{kKeepAlive});
}

TEST(PhoneRequestParser, ReadsCodecParametersBigEndian) {
    Bytes request = {0x66, 0x00, 0x00, 0x00, 0x06, 0x02, 0x02, 0x00, 0x01, 0xC0, 0x05};
    RequestParser parser;
    parser.feed(request.data(), request.size());
    ASSERT_EQ(parser.state(), RequestParser::State::Complete);
    CodecParameters p = parseCodecParameters(parser.request());
    EXPECT_EQ(p.codec, 2);
    EXPECT_EQ(p.rateCode, 2);
    EXPECT_EQ(p.mediaPort, 0x0001C005u);
}

// Opus packets of a tone stay under 256 bytes, so only this reaches the
// length field's high byte.
TEST(PhoneWire, VoiceFrameHeaderIsBigEndian) {
    Bytes payload(256);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 7);
    }
    uint8_t frame[kMaxVoiceFrame];
    size_t size = buildVoiceFrame(frame, 258, payload.data(), payload.size());
    ASSERT_EQ(size, 262u);
    EXPECT_EQ(Bytes(frame, frame + 6), (Bytes{0x00, 0x00, 0x01, 0x02, 0x01, 0x00}));
    EXPECT_EQ(Bytes(frame + 6, frame + size), payload);

    // A skewed length field changes nothing but the field.
    size = buildVoiceFrame(frame, 0xFFFFFFFFu, payload.data(), 255, 1);
    EXPECT_EQ(size, 261u);
    EXPECT_EQ(Bytes(frame, frame + 6), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00}));
}

TEST(PhoneResample, UpsamplesByInterpolationAndDownsamplesByAveraging) {
    // The last sample interpolates toward the first, so the loop joins smoothly.
    std::vector<int16_t> in = {0, 300, -300};
    EXPECT_EQ(resample(in, 16000, 48000),
              (std::vector<int16_t>{0, 100, 200, 300, 100, -100, -300, -200, -100}));
    std::vector<int16_t> loud = {32767, -32768};
    EXPECT_EQ(resample(loud, 16000, 48000),
              (std::vector<int16_t>{32767, 10922, -10923, -32768, -10923, 10922}));

    // Leftover samples that do not fill a group of three are dropped.
    std::vector<int16_t> fast = {3, 6, 9, -1, -2, -2, 32767, 32767, 32767, 5};
    EXPECT_EQ(resample(fast, 48000, 16000), (std::vector<int16_t>{6, -2, 32767}));
    EXPECT_EQ(resample(fast, 48000, 48000), fast);
}

TEST(PhoneOptionsParser, AcceptsEveryFormAndRefusesBadValues) {
    auto parse = [](std::vector<const char*> args, PhoneOptions* o, std::string* error) {
        args.insert(args.begin(), "voxlet-phone");
        return parseOptions(static_cast<int>(args.size()), args.data(), o, error);
    };
    PhoneOptions o;
    std::string error;
    ASSERT_EQ(parse({"--port=0", "--bind", "::1", "--no-answer", "101", "--no-answer=103",
                     "--close-after", "0.5", "--seed", "0x10", "--silent"},
                    &o, &error),
              ParseResult::Run)
        << error;
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.bindAddress, "::1");
    EXPECT_TRUE(o.noAnswerVersion);
    EXPECT_FALSE(o.noAnswerCodec);
    EXPECT_TRUE(o.noAnswerStart);
    EXPECT_DOUBLE_EQ(o.closeAfterSeconds, 0.5);
    EXPECT_EQ(o.seed, 16u);
    EXPECT_TRUE(o.silent);

    const std::vector<std::vector<const char*>> bad = {
        {"--port", "65536"},     {"--port", "80x"},
        {"--bind", "localhost"}, {"--version-status", "256"},
        {"--no-answer", "105"},  {"--loss", "100.5"},
        {"--jitter", "-1"},      {"--malformed-every", "0"},
        {"--tone", "8000"},      {"--level", "1"},
        {"--silent=yes"},        {"--stop-after"},
        {"--frobnicate"},        {"stray"},
        {"--click-log", "x"},
    };
    for (const auto& args : bad) {
        PhoneOptions ignored;
        error.clear();
        EXPECT_EQ(parse(args, &ignored, &error), ParseResult::Error) << args[0];
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(parse({"--help"}, &o, &error), ParseResult::Help);
}
