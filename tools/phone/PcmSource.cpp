#include "PcmSource.h"

#include "PhoneOptions.h"
#include "WavFile.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace voxlet_phone {

namespace {

int16_t clampSample(long v) {
    return static_cast<int16_t>(std::clamp(v, -32768L, 32767L));
}

// Integer division rounded to nearest, halves away from zero.
long divRound(long num, long den) {
    return num >= 0 ? (num + den / 2) / den : -((-num + den / 2) / den);
}

} // namespace

ToneSource::ToneSource(int rate, double hz, double levelDbfs)
    : mStep(hz / rate), mAmplitude(32767.0 * std::pow(10.0, levelDbfs / 20.0)) {}

bool ToneSource::fill(int16_t* pcm, int samples) {
    for (int i = 0; i < samples; ++i) {
        pcm[i] = clampSample(std::lround(mAmplitude * std::sin(2.0 * std::numbers::pi * mPhase)));
        mPhase += mStep;
        if (mPhase >= 1.0) {
            mPhase -= 1.0;
        }
    }
    return false;
}

ClickSource::ClickSource(int rate, int everyFrames)
    : mPulseSamples(rate / 1000), mEveryFrames(std::max(1, everyFrames)) {}

bool ClickSource::fill(int16_t* pcm, int samples) {
    std::fill(pcm, pcm + samples, int16_t{0});
    bool click = mFrame == 0;
    if (click) {
        std::fill(pcm, pcm + std::min(samples, mPulseSamples), int16_t{32767});
    }
    mFrame = (mFrame + 1) % mEveryFrames;
    return click;
}

LoopSource::LoopSource(std::vector<int16_t> samples) : mSamples(std::move(samples)) {
    if (mSamples.empty()) {
        mSamples.push_back(0);
    }
}

bool LoopSource::fill(int16_t* pcm, int samples) {
    for (int i = 0; i < samples; ++i) {
        pcm[i] = mSamples[mPos];
        if (++mPos == mSamples.size()) {
            mPos = 0;
        }
    }
    return false;
}

bool loadWav(const std::string& path, WavAudio* audio, std::string* error) {
    WavFile file;
    std::vector<char> cpath(path.begin(), path.end());
    cpath.push_back('\0');
    if (!file.open(cpath.data())) {
        *error = path + ": " + file.getError();
        return false;
    }
    int channels = file.getNumberOfChannels();
    int rate = file.getSamplingRate();
    int bits = file.getBitsPerSample();
    if (bits != 16 || (channels != 1 && channels != 2) || (rate != 16000 && rate != 48000)) {
        *error = path + ": " + std::to_string(rate) + " Hz, " + std::to_string(channels) +
                 " channel(s), " + std::to_string(bits) +
                 " bits is not supported (16-bit mono or stereo at 16000 or 48000 Hz needed)";
        return false;
    }

    // The data length bounds the samples when the header gives one, so that
    // chunks after the data are not played as sound.
    long limit = file.getAudioDataLength() > 0 ? file.getAudioDataLength() / 2 : -1;
    std::vector<int16_t> raw;
    short chunk[4096];
    while (limit < 0 || static_cast<long>(raw.size()) < limit) {
        int want = 4096;
        if (limit >= 0) {
            want = static_cast<int>(std::min<long>(want, limit - static_cast<long>(raw.size())));
        }
        int got = file.read(chunk, want);
        if (got <= 0) {
            break;
        }
        raw.insert(raw.end(), chunk, chunk + got);
        if (got < want) {
            break;
        }
    }

    audio->rate = rate;
    audio->samples.clear();
    if (channels == 1) {
        audio->samples = std::move(raw);
    } else {
        audio->samples.reserve(raw.size() / 2);
        for (size_t i = 0; i + 1 < raw.size(); i += 2) {
            audio->samples.push_back(static_cast<int16_t>((long{raw[i]} + long{raw[i + 1]}) / 2));
        }
    }
    if (audio->samples.empty()) {
        *error = path + ": no samples";
        return false;
    }
    return true;
}

std::vector<int16_t> resample(const std::vector<int16_t>& in, int fromRate, int toRate) {
    size_t n = in.size();
    if (n == 0 || fromRate == toRate) {
        return in;
    }
    std::vector<int16_t> out;
    if (fromRate == 16000 && toRate == 48000) {
        out.resize(3 * n);
        for (size_t i = 0; i < n; ++i) {
            long a = in[i];
            long b = in[(i + 1) % n];
            for (long k = 0; k < 3; ++k) {
                out[3 * i + k] = clampSample(divRound(a * (3 - k) + b * k, 3));
            }
        }
    } else if (fromRate == 48000 && toRate == 16000) {
        if (n < 3) {
            return {in[0]};
        }
        out.resize(n / 3);
        for (size_t i = 0; i < out.size(); ++i) {
            long sum = long{in[3 * i]} + in[3 * i + 1] + in[3 * i + 2];
            out[i] = clampSample(divRound(sum, 3));
        }
    } else {
        out = in;
    }
    return out;
}

std::unique_ptr<PcmSource> makeSource(const PhoneOptions& options, const WavAudio& wav, int rate) {
    if (options.clickEveryMs > 0) {
        return std::make_unique<ClickSource>(rate, (options.clickEveryMs + 10) / 20);
    }
    if (!options.wavPath.empty()) {
        return std::make_unique<LoopSource>(resample(wav.samples, wav.rate, rate));
    }
    return std::make_unique<ToneSource>(rate, options.toneHz, options.levelDbfs);
}

} // namespace voxlet_phone
