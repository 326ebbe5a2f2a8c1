#include "VoiceDecoder.h"

#include "MediaStream.h"
#include "Utils.h"

#include <opus.h>
#include <string.h>

OpusVoiceDecoder::OpusVoiceDecoder(int sampleRate, int channels)
    : mDecoder(nullptr), mSampleRate(sampleRate), mChannels(channels) {}

OpusVoiceDecoder::~OpusVoiceDecoder() {
    if (mDecoder != nullptr) {
        opus_decoder_destroy(mDecoder);
        mDecoder = nullptr;
    }
}

int OpusVoiceDecoder::open() {
    // The scratch buffer holds one channel's longest frame: mono only.
    if (mChannels != 1)
        return -1;
    close();
    int error = 0;
    mDecoder = opus_decoder_create(mSampleRate, mChannels, &error);
    return error >= 0 && mDecoder != nullptr ? 0 : -1;
}

void OpusVoiceDecoder::close() {
    if (mDecoder != nullptr)
        opus_decoder_destroy(mDecoder);
    mDecoder = nullptr;
}

bool OpusVoiceDecoder::decode(unsigned char* payload, int length, short* pcm, int samples) {
    // An empty payload would make the codec conceal a lost packet instead of
    // decoding one; that is never the frame that was sent.
    if (mDecoder == nullptr || length <= 0 || samples <= 0 || samples > kMaxFrameSamples)
        return false;
    opus_int16 scratch[kMaxFrameSamples];
    int decoded = opus_decode(mDecoder, payload, length, scratch, kMaxFrameSamples, 0);
    if (decoded < 0 || decoded != samples)
        return false;
    memcpy(pcm, scratch, sizeof(short) * (size_t)samples);
    return true;
}

bool OpusVoiceDecoder::decode(MediaStream* stream, short* pcm, int samples,
                              unsigned int* sequence) {
    // Header: u32 sequence, u16 payload length, both big-endian. Read in one
    // piece, so a datagram shorter than a header is dropped whole.
    unsigned char header[6];
    stream->readData(header, 6);
    *sequence = readBe32(header);
    int length = readBe16(header + 4);

    // The payload must be exactly the rest of the datagram, and must fit.
    if (!stream->isStreamNormal(length) || length > kMaxPayload)
        throw(StreamFault) FaultFraming;

    unsigned char payload[kMaxPayload];
    stream->readData(payload, length);
    return decode(payload, length, pcm, samples);
}
