#include "WavFile.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void putLE(Bytes& h, int at, unsigned v, int size) {
    for (int i = 0; i < size; ++i)
        h[at + i] = (unsigned char)(v >> (8 * i));
}

// A canonical 44-byte header; channels and bits are the raw 16-bit fields.
Bytes header(unsigned channels, unsigned rate, unsigned bits, unsigned dataLen) {
    std::string tags = "RIFF....WAVEfmt " + std::string(20, '.') + "data";
    Bytes h(tags.begin(), tags.end());
    h.resize(44);
    putLE(h, 4, 36 + dataLen, 4);
    putLE(h, 16, 16, 4);
    putLE(h, 20, 1, 2);
    putLE(h, 22, channels, 2);
    putLE(h, 24, rate, 4);
    putLE(h, 34, bits, 2);
    putLE(h, 40, dataLen, 4);
    return h;
}

} // namespace

class WavFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/voxlet-wav-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        mDir = dir;
    }
    void TearDown() override {
        for (const std::string& f : mFiles)
            unlink(f.c_str());
        rmdir(mDir.c_str());
    }
    char* write(const Bytes& content) {
        mFiles.push_back(mDir + "/f" + std::to_string(mFiles.size()) + ".wav");
        FILE* f = fopen(mFiles.back().c_str(), "wb");
        if (!content.empty())
            fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        return mFiles.back().data();
    }
    void expectFields(int channels, int rate, int bits, int length) {
        EXPECT_EQ(channels, mWav.getNumberOfChannels());
        EXPECT_EQ(rate, mWav.getSamplingRate());
        EXPECT_EQ(bits, mWav.getBitsPerSample());
        EXPECT_EQ(length, mWav.getAudioDataLength());
    }

    WavFile mWav;
    std::string mDir;
    std::vector<std::string> mFiles;
};

TEST_F(WavFileTest, CanonicalFileGivesHeaderFieldsThenInterleavedSamples) {
    Bytes file = header(2, 48000, 16, 1000);
    for (int i = 0; i < 500; ++i) {
        unsigned short s = (unsigned short)(i * 97 - 20000);
        file.push_back((unsigned char)s);
        file.push_back((unsigned char)(s >> 8));
    }
    ASSERT_TRUE(mWav.open(write(file)));
    expectFields(2, 48000, 16, 1000);
    short s[600];
    EXPECT_EQ(4, mWav.read(s, 4));
    EXPECT_EQ(-20000, s[0]);
    EXPECT_EQ(97 - 20000, s[1]);
    EXPECT_EQ(496, mWav.read(s, 600));
    EXPECT_EQ(499 * 97 - 20000, s[495]);
}

TEST_F(WavFileTest, ReadStopsAtEndOfFileAndDropsAnOddByte) {
    Bytes file = header(1, 16000, 16, 11);
    for (int i = 1; i <= 11; ++i)
        file.push_back((unsigned char)i);
    ASSERT_TRUE(mWav.open(write(file)));
    EXPECT_FALSE(mWav.eof());
    short s[8];
    EXPECT_EQ(5, mWav.read(s, 8));
    EXPECT_EQ(0x0A09, s[4]);
    EXPECT_TRUE(mWav.eof());
    EXPECT_EQ(0, mWav.read(s, 8));
}

TEST_F(WavFileTest, ShortMissingAndReopenedFiles) {
    // Shorter than a header, even empty: refused, and nothing is read.
    EXPECT_FALSE(mWav.open(write({})));
    EXPECT_FALSE(mWav.open(write(Bytes(30, 0x33))));
    short s[4];
    EXPECT_EQ(0, mWav.read(s, 4));

    char missing[] = "/nonexistent-dir/none.wav";
    EXPECT_FALSE(mWav.open(missing));
    mWav.close();
    mWav.close();
    ASSERT_TRUE(mWav.open(write(header(1, 8000, 16, 0))));
    expectFields(1, 8000, 16, 0);
}
