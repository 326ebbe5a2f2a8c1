#include "MediaSender.h"

#include "PcmSource.h"
#include "PhoneOptions.h"
#include "PhoneProtocol.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mach/mach_time.h>
#include <opus.h>
#include <random>
#include <unistd.h>

namespace voxlet_phone {

namespace {

constexpr int64_t kFrameNs = 20'000'000;

// Mach absolute time is the monotonic clock in nanoseconds here (timebase 1/1).
int64_t monotonicNs() {
    return static_cast<int64_t>(mach_absolute_time());
}

void sleepUntil(int64_t ns) {
    mach_wait_until(static_cast<uint64_t>(ns));
}

// A full socket buffer or an unreachable port (nobody bound yet) passes;
// anything else means the destination cannot be reached at all.
bool isTransient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS || err == ENOMEM || err == EINTR ||
           err == ECONNREFUSED;
}

} // namespace

struct MediaSender::Frame {
    uint32_t sequence = 0;
    size_t size = 0;
    bool click = false;
    uint8_t payload[kMaxVoicePayload];
};

MediaSender::MediaSender(const PhoneOptions& options, const WavAudio& wav, FILE* clickLog,
                         std::atomic<uint64_t>* framesSent)
    : mOptions(options), mWav(wav), mClickLog(clickLog), mFramesSent(framesSent) {}

MediaSender::~MediaSender() {
    stop();
}

bool MediaSender::start(const sockaddr_storage& dest, socklen_t destLength, int rate,
                        std::string* error) {
    stop();
    int err = 0;
    OpusEncoder* encoder = opus_encoder_create(rate, 1, OPUS_APPLICATION_AUDIO, &err);
    if (encoder == nullptr || err != OPUS_OK) {
        *error = std::string("cannot create the Opus encoder: ") + opus_strerror(err);
        opus_encoder_destroy(encoder);
        return false;
    }
    int fd = socket(dest.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("cannot open the media socket: ") + std::strerror(errno);
        opus_encoder_destroy(encoder);
        return false;
    }
    mEncoder = encoder;
    mSocket = fd;
    mDest = dest;
    mDestLength = destLength;
    mRate = rate;
    mSource = makeSource(mOptions, mWav, rate);
    mDatagrams = 0;
    mTransientFailures = 0;
    mStop.store(false);
    mEnded.store(false);
    mThread = std::thread(&MediaSender::run, this);
    return true;
}

void MediaSender::stop() {
    if (!mThread.joinable()) {
        return;
    }
    mStop.store(true);
    mThread.join();
    if (mTransientFailures > 0) {
        std::fprintf(stderr, "voxlet-phone: %llu datagrams could not be sent\n",
                     static_cast<unsigned long long>(mTransientFailures));
    }
    close(mSocket);
    mSocket = -1;
    opus_encoder_destroy(mEncoder);
    mEncoder = nullptr;
    mSource.reset();
}

bool MediaSender::streaming() const {
    return mThread.joinable() && !mEnded.load();
}

bool MediaSender::send(const Frame& frame) {
    uint8_t datagram[kMaxVoiceFrame];
    ++mDatagrams;
    int skew = mOptions.malformedEvery > 0 && mDatagrams % mOptions.malformedEvery == 0 ? 1 : 0;
    size_t size = buildVoiceFrame(datagram, frame.sequence, frame.payload, frame.size, skew);
    ssize_t sent = sendto(mSocket, datagram, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&mDest), mDestLength);
    if (sent < 0) {
        if (isTransient(errno)) {
            ++mTransientFailures;
            return true;
        }
        std::fprintf(stderr, "voxlet-phone: media send failed, streaming stops: %s\n",
                     std::strerror(errno));
        return false;
    }
    int64_t sentAt = monotonicNs();
    mFramesSent->fetch_add(1, std::memory_order_relaxed);
    if (frame.click && mClickLog != nullptr) {
        std::fprintf(mClickLog, "%u %lld\n", frame.sequence, static_cast<long long>(sentAt));
        std::fflush(mClickLog);
    }
    return true;
}

void MediaSender::run() {
    const int samples = frameSamples(mRate);
    int16_t pcm[frameSamples(48000)];
    Frame current;
    Frame held; // a frame waiting to go out after its successor
    bool holding = false;

    std::mt19937 rng(mOptions.seed);
    std::uniform_real_distribution<double> percent(0.0, 100.0);
    std::uniform_int_distribution<int64_t> jitterNs(0, int64_t{mOptions.jitterMs} * 1'000'000);

    const int64_t startNs = monotonicNs();
    for (uint64_t n = 0; !mStop.load(); ++n) {
        if (mOptions.stopAfterFrames >= 0 && n >= static_cast<uint64_t>(mOptions.stopAfterFrames)) {
            if (holding) {
                send(held);
            }
            break;
        }
        current.sequence = static_cast<uint32_t>(n);
        current.click = mSource->fill(pcm, samples);
        opus_int32 size = opus_encode(mEncoder, pcm, samples, current.payload,
                                      static_cast<opus_int32>(kMaxVoicePayload));
        if (size < 0) {
            std::fprintf(stderr, "voxlet-phone: Opus encoding failed, streaming stops: %s\n",
                         opus_strerror(size));
            break;
        }
        current.size = static_cast<size_t>(size);

        // Drawn for every frame in the same order, so a seed gives one run.
        bool lose = mOptions.lossPercent > 0 && percent(rng) < mOptions.lossPercent;
        bool reorder = mOptions.reorderPercent > 0 && percent(rng) < mOptions.reorderPercent;
        int64_t jitter = mOptions.jitterMs > 0 ? jitterNs(rng) : 0;

        sleepUntil(startNs + static_cast<int64_t>(n) * kFrameNs + jitter);
        if (mStop.load()) {
            break;
        }
        bool ok = true;
        if (lose) {
            // The held frame's successor is gone; the held one goes now.
        } else if (reorder && !holding) {
            held = current;
            holding = true;
            continue;
        } else {
            ok = send(current);
        }
        if (ok && holding) {
            ok = send(held);
            holding = false;
        }
        if (!ok) {
            break;
        }
    }
    mEnded.store(true);
}

} // namespace voxlet_phone
