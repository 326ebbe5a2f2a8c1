// Small signal checks for recorded audio.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

// Frequency from the rising zero crossings, measured between the first and
// the last crossing (so partial periods at the ends do not bias it).
inline double estimateFrequency(const int16_t* samples, size_t count, int rate) {
    long first = -1, last = -1, crossings = 0;
    for (size_t i = 1; i < count; ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            if (first < 0)
                first = (long)i;
            else
                ++crossings;
            last = (long)i;
        }
    }
    if (crossings == 0)
        return 0.0;
    return crossings * (double)rate / (double)(last - first);
}

inline double estimateFrequency(const std::vector<int16_t>& samples, int rate) {
    return estimateFrequency(samples.data(), samples.size(), rate);
}

inline double rmsDbfs(const int16_t* samples, size_t count) {
    if (count == 0)
        return -INFINITY;
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += (double)samples[i] * samples[i];
    return 20.0 * std::log10(std::sqrt(sum / (double)count) / 32768.0);
}

inline bool allZero(const std::vector<int16_t>& samples) {
    for (int16_t s : samples)
        if (s != 0)
            return false;
    return true;
}
