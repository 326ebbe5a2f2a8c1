// Reads 16-bit PCM from a canonical WAV file: four fields of the fixed 44-byte
// header, then samples from byte 44 on.
#pragma once

#include <stdio.h>

class WavFile {
  public:
    WavFile();
    ~WavFile();
    bool open(char* path);
    void close();
    int getNumberOfChannels();
    int getSamplingRate();
    int getBitsPerSample();
    int getAudioDataLength();
    // Whole 16-bit samples read, at most `count`, host order, interleaved.
    int read(short* samples, int count);
    bool eof();

  private:
    int mChannels;
    int mSamplingRate;
    int mBitsPerSample;
    int mDataLength;
    FILE* mFile;
};
