// Inputs the design's happy path never meets: WAV files as editors write
// them, and sequence numbers that jump.
#include "PlayoutQueue.h"
#include "WavFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdint.h>
#include <string>
#include <unistd.h>

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

Bytes fmt(uint16_t format, uint16_t channels, uint16_t bits) {
    return chunk("fmt ", le(format, 2) + le(channels, 2) + le(16000, 4) + le(32000 * channels, 4) +
                             le(channels * 2, 2) + le(bits, 2));
}

Bytes riff(const Bytes& chunks) {
    return "RIFF" + le((uint32_t)chunks.size() + 4, 4) + "WAVE" + chunks;
}

} // namespace

TEST(WavChunks, ChunksAroundTheDataAreSkippedAndUnplayableFilesRefused) {
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
    };
    std::string path = "/tmp/voxlet-wav-chunks-" + std::to_string(getpid()) + ".wav";
    for (const auto& c : cases) {
        std::ofstream(path, std::ios::binary) << c.file;
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
