// The WAV reader: any file either is refused with a reason or gives 16-bit
// samples from within its data chunk, never more than the file holds.
#include "Harness.h"
#include "WavFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WavFile wav;
    std::string name = scratchWrite(data, size); // open() takes a mutable path
    if (!wav.open(name.data())) {
        if (wav.getError()[0] == '\0')
            abort(); // refused without a reason
        return 0;
    }
    if (wav.getBitsPerSample() != 16 || wav.getNumberOfChannels() < 1 ||
        wav.getSamplingRate() < 1 || wav.getAudioDataLength() < 0 ||
        (size_t)wav.getAudioDataLength() > size)
        abort();
    long samples = 0;
    short block[256];
    for (int got; (got = wav.read(block, 256)) > 0;)
        samples += got;
    if (samples != wav.getAudioDataLength() / 2 || !wav.eof())
        abort(); // every sample of the data chunk, and nothing after it
    return 0;
}
