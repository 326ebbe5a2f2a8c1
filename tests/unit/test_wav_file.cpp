// WAV input: the header fields, chunks around the data, whole samples until
// the end; unplayable or unreadable files refused with a reason.
#include "Kit.h"
#include "WavFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using Bytes = std::string; // bytes of a file

Bytes le(uint32_t v, int size) {
    Bytes b;
    for (int i = 0; i < size; ++i)
        b += (char)(v >> (8 * i));
    return b;
}

Bytes chunk(const char* id, const Bytes& body) {
    return id + le((uint32_t)body.size(), 4) + body + (body.size() % 2 ? Bytes(1, 0) : "");
}

Bytes fmt(uint16_t format, uint16_t channels, uint16_t bits, uint32_t rate = 16000) {
    return chunk("fmt ", le(format, 2) + le(channels, 2) + le(rate, 4) +
                             le(rate * 2 * channels, 4) + le(channels * 2, 2) + le(bits, 2));
}

Bytes riff(const Bytes& chunks) {
    return "RIFF" + le((uint32_t)chunks.size() + 4, 4) + "WAVE" + chunks;
}

class WavFileTest : public ::testing::Test {
  protected:
    void TearDown() override { std::filesystem::remove(path); }
    bool open(const Bytes& content) {
        std::ofstream(path, std::ios::binary) << content;
        return wav.open(path.data());
    }
    WavFile wav;
    std::string path = testing::TempDir() + "voxlet-" + std::to_string(getpid()) + ".wav";
};

TEST_F(WavFileTest, CanonicalFileGivesHeaderFieldsThenInterleavedSamplesUpToAnOddByte) {
    Bytes samples;
    for (int i = 0; i < 500; ++i)
        samples += le((uint16_t)(i * 97 - 20000), 2);
    ASSERT_TRUE(open(riff(fmt(1, 2, 16, 48000) + chunk("data", samples + "\x7f"))));
    EXPECT_EQ(wav.getNumberOfChannels(), 2);
    EXPECT_EQ(wav.getSamplingRate(), 48000);
    EXPECT_EQ(wav.getBitsPerSample(), 16);
    EXPECT_EQ(wav.getAudioDataLength(), 1001);
    short s[600];
    EXPECT_EQ(4, wav.read(s, 4));
    EXPECT_EQ(-20000, s[0]);
    EXPECT_EQ(97 - 20000, s[1]);
    EXPECT_FALSE(wav.eof());
    EXPECT_EQ(496, wav.read(s, 600));
    EXPECT_EQ(499 * 97 - 20000, s[495]);
    EXPECT_TRUE(wav.eof());
    EXPECT_EQ(0, wav.read(s, 8));
}

TEST_F(WavFileTest, ChunksAroundTheDataAreSkippedAndUnplayableFilesRefused) {
    const Bytes samples("\1\0\2\0\3\0", 6);
    const Bytes list = chunk("LIST", Bytes(31, 'x')); // odd: padded
    const Bytes mono = fmt(1, 1, 16), data = chunk("data", samples);
    struct {
        const char* name;
        Bytes file;
        int samples; // -1: refused
    } cases[] = {
        {"LIST between format and data", riff(mono + list + data + list), 3},
        {"size left 0 by a streaming writer", riff(list + mono + chunk("data", "") + samples), 3},
        {"data longer than the file", riff(mono + "data" + le(0xFFFF, 4) + samples), 3},
        {"8-bit", riff(fmt(1, 1, 8) + data), -1},
        {"floating point", riff(fmt(3, 1, 16) + data), -1},
        {"no channels", riff(fmt(1, 0, 16) + data), -1},
        {"data before format", riff(data + mono), -1},
        {"no data chunk", riff(mono + list), -1},
        {"not RIFF", Bytes(60, 0), -1},
        {"shorter than a header", Bytes(30, 0x33), -1},
        {"empty", "", -1},
    };
    std::set<int> fds = kit::openFds();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool opened = open(c.file);
        ASSERT_EQ(opened, c.samples >= 0);
        short out[16] = {};
        if (!opened) {
            EXPECT_STRNE(wav.getError(), "");
            EXPECT_EQ(wav.read(out, 16), 0);
            continue;
        }
        EXPECT_EQ(wav.read(out, 16), c.samples);
        EXPECT_EQ(out[0] + out[1] + out[2], 6);
        EXPECT_TRUE(wav.eof());
    }
    char missing[] = "/nonexistent-dir/none.wav";
    EXPECT_FALSE(wav.open(missing));
    wav.close();
    wav.close();
    EXPECT_EQ(kit::openFds(), fds) << "each open closed the file before";
}

} // namespace
