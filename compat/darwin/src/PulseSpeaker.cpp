// The speaker back end: a pull-model playback stream on the default sink.
//
// One thread of ours (the queue's thread) does all the work: it takes the
// queue's buffers, writes them into the stream while the stream wants at least
// a frame, and hands each back once the server has read past its end. The
// stream's own thread (libpulse's main loop) only wakes ours. So the engine is
// called with no lock of ours held, and the main-loop lock is never held while
// the engine runs.
//
// "Played" follows the stream's read index (interpolated from its timing), not
// pa_stream_write's free callback, which only says the data was copied. The
// read index rather than the device's output: the queue owns only a few
// buffers, and holding them through the device's latency as well would starve
// the stream.
//
// A speaker handed nothing costs nothing: once every buffer is back and none
// has come for a while, the stream is corked and the queue thread sleeps until
// a buffer is enqueued; that one uncorks it, and playing starts as soon as
// the prebuffer (two frames) is there.
#include "PulseSpeaker.h"

#include "PulseConnection.h"
#include "PulseMic.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace darwin::pulse {

namespace {

constexpr int kMaxInFlight = 32;
// While buffers are out, the queue thread sleeps until the oldest should have
// been read, but never less or longer than this: the read index is
// interpolated, and a wake-up may have been missed.
constexpr auto kShortestWait = std::chrono::milliseconds(1);
constexpr auto kLongestWait = std::chrono::milliseconds(20);
// Nothing to play for this long: the stream is corked.
constexpr auto kCorkAfter = std::chrono::milliseconds(200);

class SpeakerBackend : public AudioQueueBackend {
  public:
    ~SpeakerBackend() override { stop(); }
    OSStatus start(AudioQueueEngine* engine) override;
    void bufferEnqueued() override {
        // With two buffers out the thread wakes within a frame anyway, and
        // the stream still holds a frame then: the new buffer can wait for it.
        if (!mWakeSoon.load(std::memory_order_acquire))
            wake();
    }
    void stop() override;

  private:
    bool openStream(const AudioStreamBasicDescription& f);
    void run();
    void wake();
    // Queue thread only. handBackPlayed is false once the stream has gone.
    bool handBackPlayed();
    // How long until the oldest buffer still out should have been read.
    std::chrono::microseconds nextWait() const;
    void refill();
    void setCorked(bool corked);
    std::chrono::microseconds idleWait();

    std::unique_ptr<Connection> mConn;
    pa_stream* mStream = nullptr; // main-loop lock
    pa_sample_spec mSpec{};
    size_t mFrameBytes = 0; // 20 ms of the queue's format; set before the thread starts
    AudioQueueEngine* mEngine = nullptr;

    // Queue thread only: buffers written to the stream, oldest first, each
    // with the stream byte index at its end.
    struct InFlight {
        AudioQueueBufferRef buffer;
        uint64_t end;
    };
    InFlight mInFlight[kMaxInFlight];
    int mHead = 0;
    int mCount = 0;
    uint64_t mWritten = 0;
    uint64_t mReadIndex = 0; // as last seen, at mReadAt
    std::chrono::steady_clock::time_point mReadAt;
    bool mCorked = false;
    std::chrono::steady_clock::time_point mIdleSince; // all played since; zero while playing

    std::thread mThread;
    std::mutex mWakeMutex; // guards mWakeups and mStopping; never held with another lock
    std::condition_variable mWakeCv;
    bool mWakeups = false;
    bool mStopping = false;
    // Set by the queue thread, read by the enqueueing thread and the stream's:
    // a timed wake-up is due within a frame with a frame still to play, so an
    // enqueued buffer needs no wake-up of its own.
    std::atomic<bool> mWakeSoon{false};
    // Set by the queue thread when a buffer waits for room in the stream: only
    // then does the stream's write request wake it.
    std::atomic<bool> mWantsRoom{false};
};

bool supportedFormat(const AudioStreamBasicDescription& f) {
    const uint32_t needed = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    return f.mFormatID == kAudioFormatLinearPCM && (f.mFormatFlags & needed) == needed &&
           !(f.mFormatFlags & (kAudioFormatFlagIsFloat | kAudioFormatFlagIsBigEndian |
                               kAudioFormatFlagIsNonInterleaved)) &&
           f.mBitsPerChannel == 16 && f.mFramesPerPacket == 1 &&
           (f.mChannelsPerFrame == 1 || f.mChannelsPerFrame == 2) &&
           f.mBytesPerFrame == 2 * f.mChannelsPerFrame && f.mSampleRate >= 8000 &&
           f.mSampleRate <= 192000;
}

// The default sink, unless that is the virtual microphone's feed (it can be,
// when the server had no default before the feed was loaded): then any other.
bool chooseSink(Connection& c, std::string& sink) {
    Connection::ServerInfo info;
    if (!c.serverInfo(info))
        return false;
    if (!info.defaultSink.empty() && info.defaultSink != kMicFeedSinkName) {
        sink = info.defaultSink;
        return true;
    }
    std::vector<std::string> all;
    if (!c.sinks(all))
        return false;
    for (const std::string& s : all) {
        if (s != kMicFeedSinkName) {
            sink = s;
            return true;
        }
    }
    return false;
}

OSStatus SpeakerBackend::start(AudioQueueEngine* engine) {
    const AudioStreamBasicDescription& f = engine->format();
    if (!supportedFormat(f))
        return kAudioFormatUnsupportedDataFormatError;
    mConn = Connection::open("Voxlet speaker");
    if (!mConn)
        return kAudioQueueErr_CannotStart;
    if (!openStream(f)) {
        {
            Connection::Lock lock(*mConn);
            if (mStream) {
                pa_stream_disconnect(mStream);
                pa_stream_unref(mStream);
                mStream = nullptr;
            }
        }
        mConn.reset();
        return kAudioQueueErr_CannotStart;
    }
    mEngine = engine;
    mStopping = false;
    mWakeSoon.store(false);
    mWantsRoom.store(false);
    mThread = std::thread([this] { run(); });
    return noErr;
}

bool SpeakerBackend::openStream(const AudioStreamBasicDescription& f) {
    Connection::Lock lock(*mConn);
    std::string sink;
    if (!chooseSink(*mConn, sink))
        return false;
    mSpec = pa_sample_spec{PA_SAMPLE_S16LE, uint32_t(f.mSampleRate), uint8_t(f.mChannelsPerFrame)};
    mFrameBytes = pa_usec_to_bytes(20 * PA_USEC_PER_MSEC, &mSpec);
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_NAME, "Voxlet speaker");
    mStream =
        pa_stream_new_with_proplist(mConn->context(), "Voxlet speaker", &mSpec, nullptr, props);
    pa_proplist_free(props);
    if (!mStream)
        return false;
    pa_stream_set_state_callback(
        mStream, [](pa_stream*, void* c) { static_cast<Connection*>(c)->signal(); }, mConn.get());
    // An idle stream never asks again by itself: the queue thread refills both
    // when the stream asks and when a buffer is enqueued.
    pa_stream_set_write_callback(
        mStream,
        [](pa_stream*, size_t, void* self) {
            auto* backend = static_cast<SpeakerBackend*>(self);
            if (backend->mWantsRoom.load(std::memory_order_acquire))
                backend->wake();
        },
        this);
    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(4 * mFrameBytes);
    attr.prebuf = uint32_t(2 * mFrameBytes);
    attr.minreq = uint32_t(mFrameBytes);
    attr.fragsize = uint32_t(-1);
    // Corked until there is something to play.
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                         PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_START_CORKED);
    if (pa_stream_connect_playback(mStream, sink.c_str(), &attr, flags, nullptr, nullptr) < 0)
        return false;
    mCorked = true;
    return mConn->waitStreamReady(mStream);
}

void SpeakerBackend::stop() {
    if (!mThread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mWakeMutex);
        mStopping = true;
    }
    mWakeCv.notify_one();
    mThread.join();
    {
        Connection::Lock lock(*mConn);
        pa_stream_set_write_callback(mStream, nullptr, nullptr);
        pa_stream_set_state_callback(mStream, nullptr, nullptr);
        pa_stream_disconnect(mStream); // immediate: no drain
        pa_stream_unref(mStream);
        mStream = nullptr;
    }
    mConn.reset();
    mEngine = nullptr;
    mHead = mCount = 0;
    mWritten = 0;
    mCorked = false;
    mIdleSince = {};
}

// Main-loop thread or any other; takes only the wake mutex.
void SpeakerBackend::wake() {
    {
        std::lock_guard<std::mutex> lock(mWakeMutex);
        mWakeups = true;
    }
    mWakeCv.notify_one();
}

void SpeakerBackend::run() {
    pthread_setname_np(pthread_self(), "vx-speaker");
    // Zero: nothing is out, so only a wake-up can give work.
    std::chrono::microseconds wait{0};
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mWakeMutex);
            auto woken = [this] { return mWakeups || mStopping; };
            if (wait.count() == 0)
                mWakeCv.wait(lock, woken);
            else
                mWakeCv.wait_for(lock, wait, woken);
            if (mStopping)
                return;
            mWakeups = false;
        }
        if (!handBackPlayed()) {
            // The buffers still out will never be read: the queue goes quiet
            // until the next buffer is enqueued.
            wait = std::chrono::microseconds(0);
            mWakeSoon.store(false, std::memory_order_release);
            continue;
        }
        refill();
        wait = mCount > 0 ? nextWait() : idleWait();
        mWakeSoon.store(mCount >= 2 && wait > std::chrono::microseconds(0) && wait <= kLongestWait,
                        std::memory_order_release);
    }
}

// With nothing out, how long to sleep: a while first (the tick may only have
// been late), then, corked, until the next buffer comes. Corking only once
// the stream has long played out: a cork makes the server take back what it
// had rendered ahead, which would then wait in a corked stream.
std::chrono::microseconds SpeakerBackend::idleWait() {
    const auto now = std::chrono::steady_clock::now();
    if (mCorked)
        return std::chrono::microseconds(0);
    if (mIdleSince == std::chrono::steady_clock::time_point())
        mIdleSince = now;
    const auto idle = std::chrono::duration_cast<std::chrono::microseconds>(now - mIdleSince);
    if (idle < kCorkAfter)
        return kCorkAfter - idle;
    setCorked(true);
    return std::chrono::microseconds(0);
}

// Queue thread only. Asynchronous: the server applies it in order with the writes.
void SpeakerBackend::setCorked(bool corked) {
    if (mCorked == corked)
        return;
    Connection::Lock lock(*mConn);
    if (pa_stream_get_state(mStream) != PA_STREAM_READY)
        return;
    if (pa_operation* op = pa_stream_cork(mStream, corked ? 1 : 0, nullptr, nullptr)) {
        pa_operation_unref(op);
        mCorked = corked;
    }
}

bool SpeakerBackend::handBackPlayed() {
    uint64_t readIndex = 0;
    {
        Connection::Lock lock(*mConn);
        if (pa_stream_get_state(mStream) != PA_STREAM_READY)
            return false; // the server went away: the queue goes quiet
        pa_usec_t played = 0;
        const pa_timing_info* ti = pa_stream_get_timing_info(mStream);
        if (!ti || pa_stream_get_time(mStream, &played) != 0)
            return true;
        // What the server has read = what left the device + what the device holds.
        readIndex = pa_usec_to_bytes(played + ti->sink_usec, &mSpec);
    }
    mReadIndex = readIndex;
    mReadAt = std::chrono::steady_clock::now();
    AudioQueueBufferRef done[kMaxInFlight];
    int n = 0;
    while (mCount > 0 && mInFlight[mHead].end <= readIndex) {
        done[n++] = mInFlight[mHead].buffer;
        mHead = (mHead + 1) % kMaxInFlight;
        --mCount;
    }
    for (int i = 0; i < n; ++i)
        mEngine->bufferPlayed(done[i]);
    return true;
}

std::chrono::microseconds SpeakerBackend::nextWait() const {
    if (mCount == 0 || mInFlight[mHead].end <= mReadIndex)
        return mCount == 0 ? kLongestWait : kShortestWait;
    auto left =
        std::chrono::microseconds(pa_bytes_to_usec(mInFlight[mHead].end - mReadIndex, &mSpec)) -
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                              mReadAt);
    return std::clamp<std::chrono::microseconds>(left, kShortestWait, kLongestWait);
}

void SpeakerBackend::refill() {
    mWantsRoom.store(false, std::memory_order_release);
    size_t writable = 0;
    {
        Connection::Lock lock(*mConn);
        if (pa_stream_get_state(mStream) != PA_STREAM_READY)
            return;
        writable = pa_stream_writable_size(mStream);
    }
    while (writable >= mFrameBytes && mCount < kMaxInFlight) {
        AudioQueueBufferRef b = mEngine->takeBuffer();
        if (!b)
            return; // nothing to play: the sink plays silence
        const size_t bytes = std::min<size_t>(b->mAudioDataByteSize, b->mAudioDataBytesCapacity) /
                             pa_frame_size(&mSpec) * pa_frame_size(&mSpec);
        setCorked(false);
        bool written = bytes == 0;
        {
            Connection::Lock lock(*mConn);
            if (bytes > 0 && pa_stream_get_state(mStream) == PA_STREAM_READY &&
                pa_stream_write(mStream, b->mAudioData, bytes, nullptr, 0, PA_SEEK_RELATIVE) == 0)
                written = true;
            writable = written ? pa_stream_writable_size(mStream) : 0;
        }
        if (!written)
            return; // the server went away with this buffer: it is not played
        mIdleSince = {};
        mWritten += bytes;
        mInFlight[(mHead + mCount) % kMaxInFlight] = InFlight{b, mWritten};
        ++mCount;
    }
    mWantsRoom.store(writable < mFrameBytes, std::memory_order_release);
}

} // namespace

std::unique_ptr<AudioQueueBackend> newSpeakerBackend() {
    return std::make_unique<SpeakerBackend>();
}

} // namespace darwin::pulse
