// Streams voice frames to the client's media port.
//
// Frame n is due at start + n * 20 ms on the monotonic clock, and the thread
// sleeps to each due time with an absolute wait, so a late wake-up or a slow
// encode never shifts the frames after it: the stream cannot drift against
// the client's playout clock. Each frame is generated and encoded before the
// wait, so the send follows the wake-up at once. Jitter delays one send past
// its due time without moving the due times of the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>

struct OpusEncoder;

namespace voxlet_phone {

struct PhoneOptions;
struct WavAudio;
class PcmSource;

class MediaSender {
  public:
    // `clickLog` may be null; `framesSent` counts every datagram sent. All
    // three must outlive the sender.
    MediaSender(const PhoneOptions& options, const WavAudio& wav, FILE* clickLog,
                std::atomic<uint64_t>* framesSent);
    ~MediaSender();
    MediaSender(const MediaSender&) = delete;
    MediaSender& operator=(const MediaSender&) = delete;

    // Stops any stream under way, then streams to `dest` at `rate` (16000 or
    // 48000), sequence numbers from 0. False with a message when the socket or
    // the encoder cannot be made.
    bool start(const sockaddr_storage& dest, socklen_t destLength, int rate, std::string* error);
    // Ends the stream and waits for its thread (at most a frame period plus
    // the largest jitter).
    void stop();
    // A stream was started and has not ended, neither by stop() nor by itself
    // (frame limit reached, send failed for good).
    bool streaming() const;

  private:
    struct Frame;
    void run();
    bool send(const Frame& frame);

    // Fixed at construction; read by both threads.
    const PhoneOptions& mOptions;
    const WavAudio& mWav;
    FILE* const mClickLog; // written only by the stream thread
    std::atomic<uint64_t>* const mFramesSent;

    // Set by start() on the caller's thread before the stream thread exists,
    // then used only by the stream thread until stop() has joined it.
    int mSocket = -1;
    sockaddr_storage mDest{};
    socklen_t mDestLength = 0;
    int mRate = 0;
    std::unique_ptr<PcmSource> mSource;
    OpusEncoder* mEncoder = nullptr;
    uint64_t mDatagrams = 0; // datagrams sent in this stream, for --malformed-every
    uint64_t mTransientFailures = 0;

    std::thread mThread;             // started and joined by the owner's thread only
    std::atomic<bool> mStop{false};  // owner -> stream thread
    std::atomic<bool> mEnded{false}; // stream thread -> owner
};

} // namespace voxlet_phone
