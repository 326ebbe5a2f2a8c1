// What the phone streams: a tone, clicks, or a WAV file looped, produced one
// 20 ms frame at a time at the rate the client asked for.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace voxlet_phone {

struct PhoneOptions;

// One source per stream, used only by the stream's thread. fill() allocates
// nothing.
class PcmSource {
  public:
    virtual ~PcmSource() = default;
    // Writes the next `samples` samples; true when this frame carries a click.
    virtual bool fill(int16_t* pcm, int samples) = 0;
};

class ToneSource : public PcmSource {
  public:
    ToneSource(int rate, double hz, double levelDbfs);
    bool fill(int16_t* pcm, int samples) override;

  private:
    double mStep;      // cycles per sample
    double mAmplitude; // peak, in sample units
    double mPhase = 0; // cycles, 0 <= phase < 1
};

// Silence with a 1 ms full-scale pulse at the start of every `everyFrames`th
// frame, the first frame included, so a click's time is its frame's send time.
class ClickSource : public PcmSource {
  public:
    ClickSource(int rate, int everyFrames);
    bool fill(int16_t* pcm, int samples) override;

  private:
    int mPulseSamples;
    int mEveryFrames;
    int mFrame = 0;
};

// Plays `samples` over and over.
class LoopSource : public PcmSource {
  public:
    explicit LoopSource(std::vector<int16_t> samples);
    bool fill(int16_t* pcm, int samples) override;

  private:
    std::vector<int16_t> mSamples; // never empty
    size_t mPos = 0;
};

// A WAV file read into memory as mono.
struct WavAudio {
    int rate = 0;
    std::vector<int16_t> samples;
};

// Reads a 16-bit mono or stereo WAV at 16000 or 48000 Hz, mixing stereo down.
// False with a message for anything else.
bool loadWav(const std::string& path, WavAudio* audio, std::string* error);

// 16000 -> 48000 by linear interpolation and 48000 -> 16000 by averaging each
// three samples; the loop's end joins its start. Any other pair is copied.
std::vector<int16_t> resample(const std::vector<int16_t>& in, int fromRate, int toRate);

// The source for one stream at `rate`; `wav` is used when options name a file.
std::unique_ptr<PcmSource> makeSource(const PhoneOptions& options, const WavAudio& wav, int rate);

} // namespace voxlet_phone
