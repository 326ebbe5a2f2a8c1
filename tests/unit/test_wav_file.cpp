// WAV input: the four header fields, then whole samples until the end.
#include "Kit.h"
#include "WavFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using Bytes = std::string;

// A canonical 44-byte header; channels and bits are the raw 16-bit fields.
Bytes header(unsigned channels, unsigned rate, unsigned bits, unsigned dataLen) {
    Bytes h = "RIFF....WAVEfmt " + std::string(20, '.') + "data....";
    auto put = [&](int at, unsigned v, int size) {
        for (int i = 0; i < size; ++i)
            h[at + i] = char(v >> (8 * i));
    };
    put(4, 36 + dataLen, 4), put(16, 16, 4), put(20, 1, 2), put(22, channels, 2);
    put(24, rate, 4), put(34, bits, 2), put(40, dataLen, 4);
    return h;
}

class WavFileTest : public ::testing::Test {
  protected:
    void TearDown() override { std::filesystem::remove(path); }
    bool open(const Bytes& content) {
        std::ofstream(path, std::ios::binary) << content;
        return wav.open(path.data());
    }
    std::string fields() {
        return std::to_string(wav.getNumberOfChannels()) + " " +
               std::to_string(wav.getSamplingRate()) + " " +
               std::to_string(wav.getBitsPerSample()) + " " +
               std::to_string(wav.getAudioDataLength());
    }
    WavFile wav;
    std::string path = testing::TempDir() + "voxlet-" + std::to_string(getpid()) + ".wav";
};

TEST_F(WavFileTest, CanonicalFileGivesHeaderFieldsThenInterleavedSamples) {
    Bytes file = header(2, 48000, 16, 1000);
    for (int i = 0; i < 500; ++i) {
        unsigned short s = (unsigned short)(i * 97 - 20000);
        file += char(s), file += char(s >> 8);
    }
    ASSERT_TRUE(open(file));
    EXPECT_EQ(fields(), "2 48000 16 1000");
    short s[600];
    EXPECT_EQ(4, wav.read(s, 4));
    EXPECT_EQ(-20000, s[0]);
    EXPECT_EQ(97 - 20000, s[1]);
    EXPECT_EQ(496, wav.read(s, 600));
    EXPECT_EQ(499 * 97 - 20000, s[495]);
}

TEST_F(WavFileTest, ReadStopsAtEndOfFileAndDropsAnOddByte) {
    ASSERT_TRUE(open(header(1, 16000, 16, 11) + "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b"));
    EXPECT_FALSE(wav.eof());
    short s[8];
    EXPECT_EQ(5, wav.read(s, 8));
    EXPECT_EQ(0x0A09, s[4]);
    EXPECT_TRUE(wav.eof());
    EXPECT_EQ(0, wav.read(s, 8));
}

TEST_F(WavFileTest, ShortMissingAndReopenedFiles) {
    std::set<int> fds = kit::openFds();
    EXPECT_FALSE(open("")); // shorter than a header: refused, nothing read
    EXPECT_FALSE(open(Bytes(30, 0x33)));
    short s[4];
    EXPECT_EQ(0, wav.read(s, 4));
    char missing[] = "/nonexistent-dir/none.wav";
    EXPECT_FALSE(wav.open(missing));
    wav.close();
    wav.close();
    ASSERT_TRUE(open(header(1, 8000, 16, 0)));
    EXPECT_EQ(fields(), "1 8000 16 0");
    wav.close();
    EXPECT_EQ(kit::openFds(), fds) << "each open closed the file before";
}

} // namespace
