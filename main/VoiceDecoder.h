// Decodes one voice frame from the phone into one 20 ms PCM frame.
//
// Voice frame, one per UDP datagram, big-endian:
//   offset 0  u32  sequence number
//   offset 4  u16  payload length L (must equal the rest of the datagram)
//   offset 6  L    one Opus packet at the session's rate, mono
#pragma once

class MediaStream;
struct OpusDecoder;

class VoiceDecoder {
  public:
    virtual ~VoiceDecoder() {}
    virtual int open() = 0;
    virtual void close() = 0;
    // Reads one frame; true when `samples` samples were written to pcm. Stream
    // faults pass through; *sequence is stored as soon as the header is read.
    virtual bool decode(MediaStream* stream, short* pcm, int samples, unsigned int* sequence) = 0;
};

// Used only by the pump thread that created it.
class OpusVoiceDecoder : public VoiceDecoder {
  public:
    static constexpr int kMaxPayload = 1024;
    static constexpr int kMaxFrameSamples = 5760; // 120 ms at 48000 Hz

    OpusVoiceDecoder(int sampleRate, int channels);
    ~OpusVoiceDecoder() override;
    int open() override; // 0, or -1 when the codec state cannot be created
    void close() override;
    bool decode(unsigned char* payload, int length, short* pcm, int samples);
    bool decode(MediaStream* stream, short* pcm, int samples, unsigned int* sequence) override;
    bool isOpen() const { return mDecoder != nullptr; }

  private:
    OpusDecoder* mDecoder; // null while closed
    int mSampleRate;
    int mChannels;
};
