#include "WavFile.h"

#include <stdint.h>

namespace {

constexpr size_t kHeaderSize = 44;

uint32_t le32(const unsigned char* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

} // namespace

WavFile::WavFile()
    : mChannels(0), mSamplingRate(0), mBitsPerSample(0), mDataLength(0), mFile(nullptr) {}

WavFile::~WavFile() {
    close();
}

// Canonical header, little-endian; only these fields are taken:
//   22 u8 (low byte of u16) channels   24 u32 sampling rate
//   34 u8 (low byte of u16) bits       40 u32 data length
bool WavFile::open(char* path) {
    close();
    mFile = fopen(path, "rb");
    if (mFile == nullptr)
        return false;

    unsigned char header[kHeaderSize] = {};
    if (fread(header, 1, kHeaderSize, mFile) < kHeaderSize) {
        // Too short to be a WAV file: still open, with every field 0.
        mChannels = mSamplingRate = mBitsPerSample = mDataLength = 0;
        return true;
    }
    mChannels = header[22];
    mSamplingRate = (int)le32(header + 24);
    mBitsPerSample = header[34];
    mDataLength = (int)le32(header + 40);
    return true;
}

void WavFile::close() {
    if (mFile != nullptr) {
        fclose(mFile);
        mFile = nullptr;
    }
}

int WavFile::getNumberOfChannels() {
    return mChannels;
}

int WavFile::getSamplingRate() {
    return mSamplingRate;
}

int WavFile::getBitsPerSample() {
    return mBitsPerSample;
}

int WavFile::getAudioDataLength() {
    return mDataLength;
}

int WavFile::read(short* samples, int count) {
    if (mFile == nullptr || count <= 0)
        return 0;
    // A trailing odd byte is consumed but not a whole sample, so not counted.
    return (int)fread(samples, sizeof(short), (size_t)count, mFile);
}

bool WavFile::eof() {
    return mFile == nullptr || feof(mFile) != 0;
}
