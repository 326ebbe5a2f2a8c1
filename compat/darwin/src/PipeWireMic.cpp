// The virtual microphone as a node of our own on a PipeWire server.
//
// One output stream exported as an Audio/Source node: recorders link to it
// like to any microphone, through PipeWire's API or its PulseAudio server, and
// nothing else is loaded, so no helper device is visible and the node goes
// with our connection however the process ends.
//
// The tick writes each frame into a single-producer ring; the process
// callback, on PipeWire's real-time data thread, takes it from there. Neither
// side locks or allocates, and the tick never waits. While nobody records
// the node is not scheduled and writes are dropped: a recorder that arrives
// later hears current audio.
//
// Two ways to run, as the server decides:
//
// Driving (recorders linked to nothing with a clock of its own, the usual
// case): the node is the graph's clock. Each write wakes the data thread (an
// eventfd), which starts a cycle of exactly that frame, so a frame reaches
// the recorders as soon as it is written and two clocks never drift apart.
// When writes stop for 50 ms a timer of the node's own runs 20 ms cycles of
// silence: recorders get silence, not a stopped clock.
//
// Following (a recorder also linked to a device, whose clock then drives):
// the graph pulls in its own cycles, asked small (node.latency). A frame's
// first sample goes out one quantum plus a small margin after the frame was
// written: enough that the next frame arrives before the ring runs dry,
// measured from the frame's write time when output (re)starts. A ring that
// runs dry soon after starting (a late tick) grows the margin by 2 ms. Frames
// arrive on the tick's clock and leave on the graph's: when the tick runs fast
// the ring grows, and when its lowest fill over half a second stays more than
// a frame above the standing level, the oldest frame is skipped whole. A slow
// tick needs nothing: the ring runs dry briefly and the source carries
// silence, as it does when frames stop.
#include "MicFeed.h"
#include "PulseMic.h"

#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace darwin::pipewire {

namespace {

using pulse::kMicMaxSamples;
using pulse::MicFeed;

constexpr uint32_t kFrame = kMicMaxSamples;    // one 20 ms frame at 48 kHz
constexpr uint32_t kRingSamples = 8192;        // 170 ms: a power of two
constexpr uint32_t kMostPerCycle = 4 * kFrame; // driving: well inside the server's quantum limit
constexpr const char* kQuantum = "256/48000";  // 5.3 ms cycles while recorded
constexpr uint32_t kMarginStart = 4 * 48;      // 4 ms beyond a quantum
constexpr uint32_t kMarginMost = 16 * 48;      // what the margin may grow to
constexpr uint32_t kTrimWindow = 24000;        // samples: 0.5 s of output
constexpr int64_t kFrameNs = 20'000'000;
constexpr int64_t kStandInNs = 50'000'000; // no write this long: the node's own clock takes over
constexpr int64_t kStaleNs = 100'000'000;  // a write this old: nothing to resume
constexpr int64_t kJitterNs = 60'000'000;  // dry again this soon: the tick was late
constexpr int kConnectTimeoutMs = 3000;

int64_t nowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::string ownerTag() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    return std::string(host) + ":" + std::to_string(getpid());
}

// Threads: created and torn down on the opening thread (or the keeper's);
// write() on the playout tick or the keeper's thread, one at a time (the
// ring's producer); onProcess() on PipeWire's data thread, its only consumer
// and the only one to touch the consumer state below; the other callbacks on
// the thread loop, under its lock, as is every call into the stream and the
// core. The ring's indices and the flags are atomics: the data thread takes no
// lock, and the tick never waits for the server.
class PipeWireFeed final : public MicFeed {
  public:
    static std::shared_ptr<MicFeed> create();
    ~PipeWireFeed() override { teardown(); }

    bool live() const override {
        return mPublished.load(std::memory_order_acquire) &&
               !mBroken.load(std::memory_order_acquire);
    }
    IOReturn write(const void* samples, int count) override;
    void teardown() override;
    bool restartStream() override;
    void watch(std::function<void()> onLost) override;

  private:
    PipeWireFeed() = default;
    bool connect();                                     // loop lock held
    bool waitUntil(bool (PipeWireFeed::*done)() const); // loop lock held
    bool connected() const { return mSynced || mBroken.load(std::memory_order_relaxed); }
    bool settled() const {
        return mStreamState == PW_STREAM_STATE_PAUSED ||
               mStreamState == PW_STREAM_STATE_STREAMING || mBroken.load(std::memory_order_relaxed);
    }
    void fail() { // loop thread
        mBroken.store(true, std::memory_order_release);
        pw_thread_loop_signal(mLoop, false);
        if (mOnLost)
            mOnLost();
    }

    static void onCoreDone(void* self, uint32_t id, int seq);
    static void onCoreError(void* self, uint32_t id, int seq, int res, const char* message);
    static void onStateChanged(void* self, pw_stream_state old, pw_stream_state state,
                               const char* error);
    static void onProcess(void* self);
    void produce();
    static void onIoChanged(void* self, uint32_t id, void* area, uint32_t size);
    static void onWritten(void* self, uint64_t count);
    static void onStandIn(void* self, uint64_t expirations);
    static int addCycleSources(spa_loop*, bool, uint32_t, const void*, size_t, void* self);
    static int removeCycleSources(spa_loop*, bool, uint32_t, const void*, size_t, void* self);
    void cycle(int64_t next);
    void fill(int16_t* out, uint32_t n);
    uint32_t fillDriving(int16_t* out, uint32_t room);

    std::mutex mTeardown; // serialises teardown(), which the keeper and the exit handler may race
    pw_thread_loop* mLoop = nullptr;
    pw_context* mContext = nullptr;
    pw_core* mCore = nullptr;
    pw_stream* mStream = nullptr;
    spa_hook mCoreListener{};
    spa_hook mStreamListener{};
    int mSyncSeq = 0;
    bool mSynced = false; // the server answered our sync
    pw_stream_state mStreamState = PW_STREAM_STATE_UNCONNECTED;
    std::atomic<bool> mPublished{false};
    std::atomic<bool> mBroken{false};    // connection or node lost
    std::atomic<bool> mStreaming{false}; // someone records: writes are queued
    std::function<void()> mOnLost;       // under the loop lock

    // The ring: written by the producer up to mWrite, read by the consumer up to mRead.
    std::array<int16_t, kRingSamples> mRing{};
    std::atomic<uint64_t> mWrite{0};
    std::atomic<uint64_t> mRead{0};
    std::atomic<int64_t> mLastWriteNs{0}; // when the newest frame was due (see write())
    std::atomic<bool> mFlush{false};      // restartStream: start over

    // The ring has one producer at a time, a session's tick; a closing
    // session's last write may still race the next one's first. Held for one
    // write (a copy of a frame), never contended otherwise.
    std::mutex mProducer;
    // Producer state (under mProducer): when the last writes came.
    std::array<int64_t, 8> mWriteTimes{};
    uint32_t mWrites = 0; // writes in mWriteTimes since the last stall

    // Whether the node drives its recorders' graph, and the graph's clock it
    // then keeps: written by the loop thread (io_changed), read by the data
    // thread and the tick.
    std::atomic<bool> mDriving{false};
    std::atomic<spa_io_clock*> mClock{nullptr};
    pw_loop* mDataLoop = nullptr;   // the context's; set before the thread loop starts
    spa_source* mWritten = nullptr; // event: the tick wrote a frame (signalled from the tick)
    spa_source* mStandIn = nullptr; // timer: cycles of silence while no writes come

    // Consumer state (data thread only).
    bool mNamed = false;
    int64_t mNextStandInNs = 0;
    bool mPrimed = false; // output runs; otherwise silence until a frame is there
    uint32_t mLead = 0;   // silence still to go out before the first frame
    uint32_t mMargin = kMarginStart;
    int64_t mDryAtNs = 0; // when the ring last ran dry while output ran
    uint64_t mWindowLowest = UINT64_MAX;
    uint32_t mWindowSamples = 0;
};

void PipeWireFeed::onCoreDone(void* self, uint32_t id, int seq) {
    auto* f = static_cast<PipeWireFeed*>(self);
    if (id == PW_ID_CORE && seq == f->mSyncSeq) {
        f->mSynced = true;
        pw_thread_loop_signal(f->mLoop, false);
    }
}

void PipeWireFeed::onCoreError(void* self, uint32_t id, int, int, const char*) {
    auto* f = static_cast<PipeWireFeed*>(self);
    // Errors about other objects are not ours to act on; the core's own one
    // (the server gone: -EPIPE) ends the feed.
    if (id == PW_ID_CORE)
        f->fail();
}

void PipeWireFeed::onStateChanged(void* self, pw_stream_state, pw_stream_state state, const char*) {
    auto* f = static_cast<PipeWireFeed*>(self);
    f->mStreamState = state;
    f->mStreaming.store(state == PW_STREAM_STATE_STREAMING, std::memory_order_release);
    if (state == PW_STREAM_STATE_STREAMING && f->mDriving.load(std::memory_order_acquire))
        pw_loop_signal_event(f->mDataLoop, f->mWritten); // start the clock
    if (state == PW_STREAM_STATE_ERROR ||
        (state == PW_STREAM_STATE_UNCONNECTED && f->mPublished.load()))
        f->fail();
    pw_thread_loop_signal(f->mLoop, false);
}

void PipeWireFeed::onProcess(void* self) {
    static_cast<PipeWireFeed*>(self)->produce();
}

// Data thread: one buffer of output. Following, the graph asks for it; driving,
// cycle() makes it, and queueing it starts the graph's cycle.
void PipeWireFeed::produce() {
    if (!mNamed) { // the data thread is PipeWire's, named after whoever started it
        pthread_setname_np(pthread_self(), "vx-pw-data");
        mNamed = true;
    }
    pw_buffer* b = pw_stream_dequeue_buffer(mStream);
    if (!b)
        return;
    spa_data& d = b->buffer->datas[0];
    if (!d.data || !d.chunk) {
        pw_stream_queue_buffer(mStream, b);
        return;
    }
    uint32_t n = d.maxsize / sizeof(int16_t);
#if PW_CHECK_VERSION(0, 3, 49)
    // How much this cycle needs; older servers fill whole buffers.
    if (b->requested > 0)
        n = std::min<uint32_t>(n, uint32_t(b->requested));
#endif
    spa_io_clock* clock = mClock.load(std::memory_order_acquire);
    if (mDriving.load(std::memory_order_acquire) && clock) {
        // The driver keeps the graph's clock, and its cycle is what was
        // written: a frame, whatever power of two the server rounded the
        // forced quantum to.
        const uint32_t room = std::min<uint32_t>(d.maxsize / sizeof(int16_t), kMostPerCycle);
        n = fillDriving(static_cast<int16_t*>(d.data), room);
        const int64_t now = nowNs();
        clock->nsec = uint64_t(now);
        clock->position += n;
        clock->duration = n;
        clock->delay = 0;
        clock->rate_diff = 1.0;
        clock->next_nsec = uint64_t(now + kFrameNs);
    } else {
        fill(static_cast<int16_t*>(d.data), n);
    }
    d.chunk->offset = 0;
    d.chunk->stride = sizeof(int16_t);
    d.chunk->size = n * sizeof(int16_t);
    pw_stream_queue_buffer(mStream, b);
}

void PipeWireFeed::onIoChanged(void* self, uint32_t id, void* area, uint32_t size) {
    auto* f = static_cast<PipeWireFeed*>(self);
    if (id == SPA_IO_Clock)
        f->mClock.store(area && size >= sizeof(spa_io_clock) ? static_cast<spa_io_clock*>(area)
                                                             : nullptr,
                        std::memory_order_release);
    const bool driving = pw_stream_is_driving(f->mStream);
    if (driving == f->mDriving.exchange(driving, std::memory_order_acq_rel))
        return;
    // Cycles of one frame, but only on a graph of our own: a graph with a
    // device's clock keeps its quantum.
    const spa_dict_item item{PW_KEY_NODE_FORCE_QUANTUM, driving ? "960" : "0"};
    const spa_dict dict = SPA_DICT_INIT(&item, 1);
    pw_stream_update_properties(f->mStream, &dict);
    if (driving)
        pw_loop_signal_event(f->mDataLoop, f->mWritten); // start the clock
}

// Data thread: a frame was written, or the stand-in clock is due.
void PipeWireFeed::onWritten(void* self, uint64_t) {
    static_cast<PipeWireFeed*>(self)->cycle(nowNs() + kStandInNs);
}

void PipeWireFeed::onStandIn(void* self, uint64_t) {
    auto* f = static_cast<PipeWireFeed*>(self);
    f->cycle(std::max(f->mNextStandInNs + kFrameNs, nowNs()));
}

// Data thread: one graph cycle now, and a cycle of whatever is there (silence
// when the writes stopped) at `next` unless a write comes first.
void PipeWireFeed::cycle(int64_t next) {
    if (!mDriving.load(std::memory_order_acquire) || !mStreaming.load(std::memory_order_acquire))
        return; // the graph runs on someone else's clock, or not at all
    // Queueing a buffer while driving starts the cycle at once. (The newer
    // trigger call would also wake the thread loop after every cycle.)
    produce();
    mNextStandInNs = next;
    timespec at{time_t(next / 1'000'000'000), long(next % 1'000'000'000)};
    pw_loop_update_timer(mDataLoop, mStandIn, &at, nullptr, true);
}

int PipeWireFeed::addCycleSources(spa_loop*, bool, uint32_t, const void*, size_t, void* self) {
    auto* f = static_cast<PipeWireFeed*>(self);
    f->mWritten = pw_loop_add_event(f->mDataLoop, onWritten, f);
    f->mStandIn = pw_loop_add_timer(f->mDataLoop, onStandIn, f);
    return f->mWritten && f->mStandIn ? 0 : -ENOMEM;
}

int PipeWireFeed::removeCycleSources(spa_loop*, bool, uint32_t, const void*, size_t, void* self) {
    auto* f = static_cast<PipeWireFeed*>(self);
    if (f->mWritten)
        pw_loop_destroy_source(f->mDataLoop, f->mWritten);
    if (f->mStandIn)
        pw_loop_destroy_source(f->mDataLoop, f->mStandIn);
    f->mWritten = f->mStandIn = nullptr;
    return 0;
}

// Data thread, driving: the cycle takes what was written, at once, and is
// that long: a frame, or more when writes came faster than cycles could start
// (the wake-ups of two writes merge), so nothing is left to pile up. With
// nothing written (the stand-in clock), a frame of silence. Returns its length.
uint32_t PipeWireFeed::fillDriving(int16_t* out, uint32_t room) {
    const uint64_t written = mWrite.load(std::memory_order_acquire);
    uint64_t read = mRead.load(std::memory_order_relaxed);
    if (mFlush.exchange(false, std::memory_order_acq_rel))
        read = written;
    const uint32_t take = uint32_t(std::min<uint64_t>(written - read, room));
    const uint32_t n = std::max(take, std::min(kFrame, room));
    for (uint32_t i = 0; i < take; ++i)
        out[i] = mRing[(read + i) & (kRingSamples - 1)];
    std::memset(out + take, 0, (n - take) * sizeof(int16_t));
    mRead.store(read + take, std::memory_order_release);
    mPrimed = false; // should the graph change hands, the follower starts afresh
    return n;
}

// Data thread: `n` samples of output from the ring, silence where it has none.
void PipeWireFeed::fill(int16_t* out, uint32_t n) {
    const uint64_t written = mWrite.load(std::memory_order_acquire);
    uint64_t read = mRead.load(std::memory_order_relaxed);
    if (mFlush.exchange(false, std::memory_order_acq_rel)) {
        read = written;
        mPrimed = false;
        mMargin = kMarginStart;
    }
    uint64_t avail = written - read;
    const int64_t now = nowNs();
    if (!mPrimed) {
        const int64_t age = now - mLastWriteNs.load(std::memory_order_acquire);
        if (avail > 0 && age > kStaleNs) {
            read = written; // left from an earlier recording
            avail = 0;
        }
        if (avail < kFrame) {
            mRead.store(read, std::memory_order_release);
            std::memset(out, 0, n * sizeof(int16_t));
            return;
        }
        if (mDryAtNs != 0 && now - mDryAtNs < kJitterNs)
            mMargin = std::min(mMargin + 2 * 48, kMarginMost);
        // The next frame is due 20 ms after this one was written: start late
        // enough that it is there before this one has gone out.
        const int64_t sinceWrite = std::max<int64_t>(0, age) * 48 / 1'000'000;
        mLead = uint32_t(std::max<int64_t>(0, int64_t(n) + mMargin - sinceWrite));
        mPrimed = true;
        mWindowLowest = UINT64_MAX;
        mWindowSamples = 0;
    }
    uint32_t done = 0;
    if (mLead > 0) {
        done = std::min(mLead, n);
        std::memset(out, 0, done * sizeof(int16_t));
        mLead -= done;
    } else {
        mWindowLowest = std::min(mWindowLowest, avail);
        mWindowSamples += n;
        if (mWindowSamples >= kTrimWindow) {
            // The lowest fill stands at most a quantum plus the margin.
            if (mWindowLowest > uint64_t(n) + mMargin + kFrame) {
                read += kFrame;
                avail -= kFrame;
                pulse::noteMicFrameTrimmed();
            }
            mWindowLowest = UINT64_MAX;
            mWindowSamples = 0;
        }
    }
    const uint32_t take = uint32_t(std::min<uint64_t>(avail, n - done));
    for (uint32_t i = 0; i < take; ++i)
        out[done + i] = mRing[(read + i) & (kRingSamples - 1)];
    read += take;
    done += take;
    mRead.store(read, std::memory_order_release);
    if (done < n) {
        std::memset(out + done, 0, (n - done) * sizeof(int16_t));
        mPrimed = false;
        mDryAtNs = now;
    }
}

IOReturn PipeWireFeed::write(const void* samples, int count) {
    if (!live())
        return kIOReturnNotAttached;
    if (count <= 0 || !mStreaming.load(std::memory_order_acquire))
        return kIOReturnSuccess; // nobody records: nothing to keep
    std::lock_guard<std::mutex> producer(mProducer);
    const uint64_t written = mWrite.load(std::memory_order_relaxed);
    const uint64_t queued = written - mRead.load(std::memory_order_acquire);
    pulse::noteMicLatencyUs(int64_t(queued) * 1'000'000 / pulse::kMicRate);
    if (queued + uint64_t(count) > kRingSamples) {
        pulse::noteMicFrameTrimmed(); // the graph has stopped pulling; it starts afresh
        return kIOReturnSuccess;
    }
    const auto* from = static_cast<const int16_t*>(samples);
    for (int i = 0; i < count; ++i)
        mRing[(written + uint64_t(i)) & (kRingSamples - 1)] = from[i];
    // When this frame was due: the tick's schedule, which the earliest of
    // the last few writes projected forward shows (a late tick must not
    // set the pace once output restarts after it). A longer pause starts over.
    const int64_t now = nowNs();
    const size_t slots = mWriteTimes.size();
    if (mWrites > 0 && now - mWriteTimes[(mWrites - 1) % slots] > 2 * kFrameNs)
        mWrites = 0;
    int64_t due = now;
    for (uint32_t back = 1; back <= std::min<uint32_t>(mWrites, uint32_t(slots) - 1); ++back)
        due = std::min(due, mWriteTimes[(mWrites - back) % slots] + int64_t(back) * kFrameNs);
    mWriteTimes[mWrites++ % slots] = now;
    mLastWriteNs.store(due, std::memory_order_release);
    mWrite.store(written + uint64_t(count), std::memory_order_release);
    if (mDriving.load(std::memory_order_acquire) && mPublished.load(std::memory_order_acquire))
        pw_loop_signal_event(mDataLoop, mWritten); // an eventfd write: never waits
    return kIOReturnSuccess;
}

bool PipeWireFeed::restartStream() {
    mFlush.store(true, std::memory_order_release);
    // While the graph pulls, it takes the request within a cycle or two.
    for (int i = 0; i < 100 && live() && mStreaming.load(std::memory_order_acquire) &&
                    mFlush.load(std::memory_order_acquire);
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return live();
}

void PipeWireFeed::watch(std::function<void()> onLost) {
    pw_thread_loop_lock(mLoop);
    mOnLost = onLost;
    const bool lost = mBroken.load(std::memory_order_acquire);
    pw_thread_loop_unlock(mLoop);
    if (lost && onLost)
        onLost(); // lost before anyone watched
}

bool PipeWireFeed::waitUntil(bool (PipeWireFeed::*done)() const) {
    timespec deadline;
    pw_thread_loop_get_time(mLoop, &deadline, int64_t(kConnectTimeoutMs) * SPA_NSEC_PER_MSEC);
    while (!(this->*done)()) {
        if (pw_thread_loop_timed_wait_full(mLoop, &deadline) != 0)
            return (this->*done)();
    }
    return true;
}

bool PipeWireFeed::connect() {
    mCore = pw_context_connect(mContext, nullptr, 0);
    if (!mCore)
        return false; // no server
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = onCoreDone;
        e.error = onCoreError;
        return e;
    }();
    pw_core_add_listener(mCore, &mCoreListener, &coreEvents, this);
    mSyncSeq = pw_core_sync(mCore, PW_ID_CORE, 0);
    if (!waitUntil(&PipeWireFeed::connected) || mBroken.load())
        return false;

    const std::string owner = ownerTag();
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS, "Audio/Source", PW_KEY_NODE_NAME,
        pulse::kMicSourceName, PW_KEY_NODE_DESCRIPTION, pulse::kMicSourceDescription,
        PW_KEY_NODE_NICK, pulse::kMicSourceDescription, PW_KEY_MEDIA_NAME,
        pulse::kMicSourceDescription, PW_KEY_DEVICE_ICON_NAME, "audio-input-microphone",
        PW_KEY_MEDIA_ICON_NAME, "audio-input-microphone", "device.class", "sound",
        PW_KEY_NODE_LATENCY, kQuantum, "voxlet.owner", owner.c_str(), nullptr);
    mStream = pw_stream_new(mCore, pulse::kMicSourceDescription, props);
    if (!mStream)
        return false;
    static const pw_stream_events streamEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = onStateChanged;
        e.process = onProcess;
        e.io_changed = onIoChanged;
        return e;
    }();
    pw_stream_add_listener(mStream, &mStreamListener, &streamEvents, this);

    uint8_t buffer[512];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof buffer);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = pulse::kMicRate;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    // Not linked by the session manager: recorders link to it, as to any source.
    const auto flags = pw_stream_flags(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS |
                                       PW_STREAM_FLAG_DRIVER);
    if (pw_stream_connect(mStream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0)
        return false;
    return waitUntil(&PipeWireFeed::settled) && !mBroken.load();
}

std::shared_ptr<MicFeed> PipeWireFeed::create() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    std::shared_ptr<PipeWireFeed> feed(new PipeWireFeed);
    feed->mLoop = pw_thread_loop_new("vx-pw-mic", nullptr);
    if (!feed->mLoop)
        return nullptr;
    // The client configuration that gives the data thread real-time priority
    // where the system grants it.
    feed->mContext = pw_context_new(
        pw_thread_loop_get_loop(feed->mLoop),
        pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", PW_KEY_APP_NAME, "Voxlet", nullptr),
        0);
    if (!feed->mContext)
        return nullptr;
    // Nobody else invokes on the data loop before the thread loop starts.
    feed->mDataLoop = pw_data_loop_get_loop(pw_context_get_data_loop(feed->mContext));
    if (pw_loop_invoke(feed->mDataLoop, addCycleSources, 0, nullptr, 0, true, feed.get()) < 0 ||
        pw_thread_loop_start(feed->mLoop) != 0)
        return nullptr;
    pw_thread_loop_lock(feed->mLoop);
    feed->mPublished.store(true, std::memory_order_release);
    const bool ok = feed->connect();
    pw_thread_loop_unlock(feed->mLoop);
    if (!ok)
        return nullptr; // the destructor takes down whatever was made
    return feed;
}

void PipeWireFeed::teardown() {
    std::lock_guard<std::mutex> lock(mTeardown);
    if (!mLoop)
        return;
    {
        std::lock_guard<std::mutex> producer(mProducer); // no write signals after this
        mPublished.store(false, std::memory_order_release);
    }
    pw_thread_loop_lock(mLoop);
    mOnLost = nullptr; // our own teardown is no loss to report
    if (mDataLoop)     // under the loop lock: the loop thread is not invoking now
        pw_loop_invoke(mDataLoop, removeCycleSources, 0, nullptr, 0, true, this);
    if (mStream) {
        spa_hook_remove(&mStreamListener);
        pw_stream_destroy(mStream);
        mStream = nullptr;
    }
    if (mCore) {
        spa_hook_remove(&mCoreListener);
        pw_core_disconnect(mCore);
        mCore = nullptr;
    }
    pw_thread_loop_unlock(mLoop);
    pw_thread_loop_stop(mLoop);
    if (mContext) {
        pw_context_destroy(mContext);
        mContext = nullptr;
    }
    pw_thread_loop_destroy(mLoop);
    mLoop = nullptr;
}

} // namespace

std::shared_ptr<pulse::MicFeed> openMicFeed() {
    return PipeWireFeed::create();
}

} // namespace darwin::pipewire
