// The speaker back end: a pull-model playback stream on the default sink.
//
// One thread of ours (the queue's thread) does all the work: it takes the
// queue's buffers, writes them into the stream while the stream wants at least
// a frame, and hands each back once the server has read past its end. The
// stream has a connection of its own (a PlaybackLink) that this thread runs
// each time it wakes, so no thread of libpulse's wakes for it: the writes go
// out and the server's requests come in when this thread is awake anyway
// (a threaded loop woke about three times a frame for them).
//
// "Played" follows the server's read index as its requests tell it (what it
// asked for beyond its target fill), not pa_stream_write's free callback,
// which only says the data was copied. The read index rather than the
// device's output: the queue owns only a few buffers, and holding them through
// the device's latency as well would starve the stream.
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
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace darwin::pulse {

namespace {

constexpr int kMaxInFlight = 32;
// While buffers are out, the queue thread sleeps until the oldest should have
// been read, but never less or longer than this: the server's request for it
// may come a little after, and a wake-up may have been missed.
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
    void run();
    void wake();
    // Queue thread only. handBackPlayed is false once the stream has gone.
    bool handBackPlayed();
    // How long until the oldest buffer still out should have been read.
    std::chrono::microseconds nextWait() const;
    void refill();
    void setCorked(bool corked);
    std::chrono::microseconds idleWait();

    // Opened by start() before the queue thread runs, closed by stop() after
    // it ended; in between only the queue thread touches it.
    std::unique_ptr<PlaybackLink> mLink;
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
    // Set by the queue thread, read by the enqueueing thread: a timed wake-up
    // is due within a frame with a frame still to play, so an enqueued buffer
    // needs no wake-up of its own.
    std::atomic<bool> mWakeSoon{false};
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
    std::string sink;
    {
        std::unique_ptr<Connection> conn = Connection::open("Voxlet speaker");
        if (!conn)
            return kAudioQueueErr_CannotStart;
        Connection::Lock lock(*conn);
        if (!chooseSink(*conn, sink))
            return kAudioQueueErr_CannotStart;
    }
    mSpec = pa_sample_spec{PA_SAMPLE_S16LE, uint32_t(f.mSampleRate), uint8_t(f.mChannelsPerFrame)};
    mFrameBytes = pa_usec_to_bytes(20 * PA_USEC_PER_MSEC, &mSpec);
    PlaybackLink::Spec spec{};
    spec.clientName = "Voxlet speaker";
    spec.streamName = "Voxlet speaker";
    spec.sink = sink.c_str();
    spec.sample = mSpec;
    pa_channel_map_init_auto(&spec.map, mSpec.channels, PA_CHANNEL_MAP_DEFAULT);
    spec.attr.maxlength = uint32_t(-1);
    spec.attr.tlength = uint32_t(4 * mFrameBytes);
    spec.attr.prebuf = uint32_t(2 * mFrameBytes);
    spec.attr.minreq = uint32_t(mFrameBytes);
    spec.attr.fragsize = uint32_t(-1);
    // Corked until there is something to play.
    spec.flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
    mLink = PlaybackLink::open(spec);
    if (!mLink)
        return kAudioQueueErr_CannotStart;
    mCorked = true;
    mEngine = engine;
    mStopping = false;
    mWakeSoon.store(false);
    mThread = std::thread([this] { run(); });
    return noErr;
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
    mLink.reset(); // immediate: no drain
    mEngine = nullptr;
    mHead = mCount = 0;
    mWritten = 0;
    mCorked = false;
    mIdleSince = {};
}

// Any thread; takes only the wake mutex.
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
        mLink->run(); // the server's requests since the last wake-up
        if (!handBackPlayed()) {
            // The buffers still out will never be read: the queue goes quiet
            // until the next buffer is enqueued.
            wait = std::chrono::microseconds(0);
            mWakeSoon.store(false, std::memory_order_release);
            continue;
        }
        refill();
        wait = mCount > 0 ? nextWait() : idleWait();
        mLink->run(); // sends what was written, and a cork
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
    if (mCorked == corked || !mLink->ready())
        return;
    if (pa_operation* op = pa_stream_cork(mLink->stream(), corked ? 1 : 0, nullptr, nullptr)) {
        pa_operation_unref(op);
        mCorked = corked;
    }
}

bool SpeakerBackend::handBackPlayed() {
    if (!mLink->ready())
        return false; // the server went away: the queue goes quiet
    // The server asks for whatever it took beyond its target fill, so what it
    // holds is that target less what it still asks for.
    pa_stream* stream = mLink->stream();
    const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream);
    const size_t asked = pa_stream_writable_size(stream);
    if (!attr || asked == size_t(-1))
        return true;
    const uint64_t held = attr->tlength > asked ? attr->tlength - asked : 0;
    const uint64_t readIndex = mWritten > held ? mWritten - held : 0;
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
    pa_stream* stream = mLink->stream();
    if (!mLink->ready())
        return;
    size_t writable = pa_stream_writable_size(stream);
    while (writable >= mFrameBytes && mCount < kMaxInFlight) {
        AudioQueueBufferRef b = mEngine->takeBuffer();
        if (!b)
            return; // nothing to play: the sink plays silence
        const size_t bytes = std::min<size_t>(b->mAudioDataByteSize, b->mAudioDataBytesCapacity) /
                             pa_frame_size(&mSpec) * pa_frame_size(&mSpec);
        setCorked(false);
        if (bytes > 0 &&
            pa_stream_write(stream, b->mAudioData, bytes, nullptr, 0, PA_SEEK_RELATIVE) != 0)
            return; // the server went away with this buffer: it is not played
        writable = pa_stream_writable_size(stream);
        mIdleSince = {};
        mWritten += bytes;
        mInFlight[(mHead + mCount) % kMaxInFlight] = InFlight{b, mWritten};
        ++mCount;
    }
}

} // namespace

std::unique_ptr<AudioQueueBackend> newSpeakerBackend() {
    return std::make_unique<SpeakerBackend>();
}

} // namespace darwin::pulse
