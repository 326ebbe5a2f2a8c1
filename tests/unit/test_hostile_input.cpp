// Inputs the design's happy path never meets: WAV files as editors write
// them, and sequence numbers that jump.
#include "PlayoutQueue.h"
#include "WavFile.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void le(Bytes& b, uint32_t v, int size) {
    for (int i = 0; i < size; ++i)
        b.push_back((unsigned char)(v >> (8 * i)));
}

Bytes chunk(const char* id, const Bytes& body) {
    Bytes b(id, id + 4);
    le(b, (uint32_t)body.size(), 4);
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() % 2)
        b.push_back(0);
    return b;
}

Bytes fmt(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits) {
    Bytes b;
    le(b, format, 2), le(b, channels, 2), le(b, rate, 4), le(b, rate * channels * 2, 4);
    le(b, channels * 2, 2), le(b, bits, 2);
    return b;
}

Bytes riff(const std::vector<Bytes>& chunks) {
    Bytes body = {'W', 'A', 'V', 'E'};
    for (const Bytes& c : chunks)
        body.insert(body.end(), c.begin(), c.end());
    Bytes b = {'R', 'I', 'F', 'F'};
    le(b, (uint32_t)body.size(), 4);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

} // namespace

TEST(WavChunks, ChunksAroundTheDataAreSkippedAndUnplayableFilesRefused) {
    const Bytes samples = {1, 0, 2, 0, 3, 0};
    const Bytes list = chunk("LIST", Bytes(31, 'x')); // odd: padded
    const Bytes mono = chunk("fmt ", fmt(1, 1, 16000, 16));
    struct {
        const char* name;
        Bytes file;
        int samples; // -1: refused
    } cases[] = {
        {"LIST between format and data", riff({mono, list, chunk("data", samples), list}), 3},
        {"LIST first, data size left 0 by a streaming writer",
         riff({list, mono, chunk("data", Bytes{}), samples}), 3},
        {"data longer than the file", riff({mono, {'d', 'a', 't', 'a', 0xFF, 0xFF, 0, 0}, samples}),
         3},
        {"8-bit", riff({chunk("fmt ", fmt(1, 1, 16000, 8)), chunk("data", samples)}), -1},
        {"floating point", riff({chunk("fmt ", fmt(3, 1, 16000, 16)), chunk("data", samples)}), -1},
        {"no channels", riff({chunk("fmt ", fmt(1, 0, 16000, 16)), chunk("data", samples)}), -1},
        {"data before format", riff({chunk("data", samples), mono}), -1},
        {"no data chunk", riff({mono, list}), -1},
        {"not RIFF", Bytes(60, 0), -1},
    };
    std::string path = "/tmp/voxlet-wav-chunks-" + std::to_string(getpid()) + ".wav";
    for (const auto& c : cases) {
        FILE* f = fopen(path.c_str(), "wb");
        fwrite(c.file.data(), 1, c.file.size(), f);
        fclose(f);
        WavFile wav;
        bool opened = wav.open(path.data());
        EXPECT_EQ(opened, c.samples >= 0) << c.name;
        if (!opened) {
            EXPECT_STRNE(wav.getError(), "") << c.name;
            continue;
        }
        short out[16] = {};
        EXPECT_EQ(wav.read(out, 16), c.samples) << c.name;
        EXPECT_EQ(out[0] + out[1] + out[2], 6) << c.name;
        EXPECT_TRUE(wav.eof()) << c.name;
    }
    unlink(path.c_str());
}

TEST(LateFrames, OnlyFramesJustBehindTheNextNumberAreLate) {
    struct {
        uint32_t sequence, next;
        bool late;
    } cases[] = {
        {7, 8, true},                // just played past
        {8, 8, false},               // the one expected
        {9, 8, false},               // a gap: still in order
        {8 - kLateWindow, 8, true},  // the oldest that still counts as late
        {7 - kLateWindow, 8, false}, // further back: the phone restarted its numbering
        {0, 5000, false},            // restart at 0
        {101, 0xFFFFFFF1u, false},   // back to normal after one wild number
        {0xFFFFFFFFu, 2, true},      // late across the wrap
        {0, 0xFFFFFFFFu, false},     // in order across the wrap
        {0xFFFFFFF0u, 100, false},   // the wild number itself is played
    };
    for (const auto& c : cases)
        EXPECT_EQ(isLateFrame(c.sequence, c.next), c.late) << c.sequence << " vs " << c.next;
}
