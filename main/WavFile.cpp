#include "WavFile.h"

#include <climits>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>

namespace {

uint16_t le16(const unsigned char* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t le32(const unsigned char* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;

} // namespace

WavFile::WavFile()
    : mChannels(0), mSamplingRate(0), mBitsPerSample(0), mDataLength(0), mFile(nullptr) {}

WavFile::~WavFile() {
    close();
}

bool WavFile::refuse(const char* why) {
    close();
    mError = why;
    return false;
}

// A RIFF file: "RIFF" | u32 size | "WAVE", then chunks, each
//   id (4 bytes) | u32 size | body, padded to an even length,
// all little-endian. "fmt " (before "data"):
//   0 u16 format (1 PCM, or 0xFFFE with a PCM sub-format at 24)
//   2 u16 channels   4 u32 sampling rate   14 u16 bits per sample
// Editors put other chunks (LIST, fact, ...) anywhere; they are skipped.
bool WavFile::open(char* path) {
    close();
    mChannels = mSamplingRate = mBitsPerSample = mDataLength = 0;
    mDataLeft = 0;
    mAtEnd = false;
    mFile = fopen(path, "rb");
    if (mFile == nullptr)
        return refuse("cannot open the file");

    unsigned char riff[12];
    if (fread(riff, 1, sizeof riff, mFile) != sizeof riff || memcmp(riff, "RIFF", 4) != 0 ||
        memcmp(riff + 8, "WAVE", 4) != 0)
        return refuse("not a WAV file (no RIFF/WAVE header)");

    bool haveFormat = false;
    for (;;) {
        unsigned char chunk[8];
        if (fread(chunk, 1, sizeof chunk, mFile) != sizeof chunk)
            return refuse(haveFormat ? "no data chunk" : "no format chunk");
        uint32_t size = le32(chunk + 4);
        long skip = (long)size + (size & 1);
        if (memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char fmt[40] = {};
            size_t want = size < sizeof fmt ? size : sizeof fmt;
            if (size < 16 || fread(fmt, 1, want, mFile) != want)
                return refuse("format chunk too short");
            skip -= (long)want;
            uint16_t format = le16(fmt);
            if (format == kFormatExtensible && want >= 26)
                format = le16(fmt + 24);
            if (format != kFormatPcm)
                return refuse("not PCM (compressed or floating-point audio)");
            mChannels = le16(fmt + 2);
            mSamplingRate = (int)(le32(fmt + 4) > INT_MAX ? INT_MAX : le32(fmt + 4));
            mBitsPerSample = le16(fmt + 14);
            if (mBitsPerSample != 16)
                return refuse("not 16-bit samples");
            if (mChannels == 0 || mSamplingRate == 0)
                return refuse("no channels or no sampling rate");
            haveFormat = true;
        } else if (memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat)
                return refuse("data before the format chunk");
            // Writers that stream leave the size at 0 or at its maximum: the
            // file's own length bounds the data.
            struct stat st;
            long here = ftell(mFile);
            long rest = fstat(fileno(mFile), &st) == 0 && here >= 0 ? (long)st.st_size - here : 0;
            if (rest < 0)
                rest = 0;
            mDataLeft = size == 0 || (long)size > rest ? rest : (long)size;
            mDataLength = mDataLeft > INT_MAX ? INT_MAX : (int)mDataLeft;
            mError = "";
            return true;
        }
        if (skip > 0 && fseek(mFile, skip, SEEK_CUR) != 0)
            return refuse("truncated chunk");
    }
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
    long want = mDataLeft / 2 < count ? mDataLeft / 2 : count;
    size_t got = want > 0 ? fread(samples, sizeof(short), (size_t)want, mFile) : 0;
    mDataLeft -= (long)got * 2;
    if ((long)got < count)
        mAtEnd = true;
    return (int)got;
}

bool WavFile::eof() {
    return mFile == nullptr || mAtEnd;
}
