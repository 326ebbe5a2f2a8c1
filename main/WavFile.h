// Reads 16-bit PCM from a WAV file: walks the RIFF chunks to the format and
// the data, then hands out the samples of the data chunk in blocks.
#pragma once

#include <stdio.h>

class WavFile {
  public:
    WavFile();
    ~WavFile();
    // False when the file cannot be opened or is not 16-bit PCM WAV that this
    // reader can play; getError() then says why.
    bool open(char* path);
    void close();
    int getNumberOfChannels();
    int getSamplingRate();
    int getBitsPerSample();
    int getAudioDataLength(); // bytes of the data chunk present in the file
    // Whole 16-bit samples read, at most `count`, host order, interleaved;
    // never beyond the data chunk.
    int read(short* samples, int count);
    bool eof(); // a read has reached the end of the data
    const char* getError() const { return mError; }

  private:
    bool refuse(const char* why);

    int mChannels;
    int mSamplingRate;
    int mBitsPerSample;
    int mDataLength;
    FILE* mFile;
    long mDataLeft = 0; // bytes of the data chunk not read yet
    bool mAtEnd = false;
    const char* mError = "";
};
