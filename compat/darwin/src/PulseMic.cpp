// The virtual microphone on a PulseAudio-compatible server.
//
// A null sink (the feed, mono 48 kHz) takes our frames through one playback
// stream; a remap source over its monitor is the microphone applications see.
// The sink runs on the server's clock whether or not anyone records, so a late
// recorder hears current audio and a stalled sender gives silence, never a
// stopped clock.
//
// Why the backlog is trimmed: the frames arrive on the playout tick's clock
// and the sink consumes them on the server's. When the tick runs even slightly
// fast, the stream's queue grows without end (1 % fast adds 10 ms every
// second). So each write looks at the stream's queue just before it writes;
// when the lowest value over half a second stays more than a frame above the
// steady level, one frame is dropped. A slow tick needs nothing: the stream
// underruns briefly and the source carries silence.
//
// Why the feed stream has a connection of its own, run by the tick: on the
// shared threaded loop every frame woke that loop's thread twice (to send the
// write, and for the server's request), which cost as much CPU as decoding
// and playing out together. Run at each write instead, the connection reads
// what the server sent while the tick is awake anyway.
//
// Two lifetimes. Kept (a front end called keepMicPublished): one keeper thread
// publishes the source as soon as a server answers, and again after it died
// or our modules were unloaded (retrying every 2 s while no server answers);
// sessions' connections only write into the kept feed. Between sessions the
// feed has no stream at all: the null sink renders silence on its own clock,
// so recorders hear silence and the program costs nothing. A session's open
// gives the feed a fresh stream (the source and its modules stay), and the
// tick's first frame starts it from its prebuffer as designed; once the last
// session closed, the keeper drains the stream and closes it. The keeper
// sleeps on events (a session closed, the server or our modules gone, stop),
// never on a clock. Not kept (tests, tools): the first connection opened
// publishes and the last one closed removes everything, as before.
#include "PulseMic.h"

#include "MicFeed.h"
#include "PulseConnection.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace darwin::pulse {

namespace {

constexpr size_t kFrameBytes = 2 * kMicMaxSamples; // one 20 ms frame at 48 kHz
constexpr uint32_t kTargetBytes = 4 * kFrameBytes; // tlength: 80 ms
constexpr uint32_t kPrebufBytes = 2 * kFrameBytes; // explicit: the rounded default may never start
// The stream needs this long after becoming ready before the first write;
// writing at once leaves a permanent backlog.
constexpr int kSettleMs = 100;
// The queue just before a write, as the server's requests tell it, stands at
// one frame, or two when the sink takes each frame just before the tick (its
// request then arrives after the tick looked). Drop a frame when the lowest
// value over a window stays above that, so a tick on time never loses one.
constexpr int64_t kTrimAboveBytes = 2 * kFrameBytes;
constexpr int kTrimWindowTicks = 25; // 0.5 s of frames
constexpr int kLeftoverWaits = 50;   // 20 ms each: how long unloaded leftovers may linger

std::atomic<uint64_t> gTrimmed{0};
// The feed stream's latency at its last write, microseconds; -1 when unknown.
std::atomic<int64_t> gLatencyUs{-1};

std::string ownerTag() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    return std::string(host) + ":" + std::to_string(getpid());
}

// True when the argument string sets `key` to exactly `value`.
bool hasArgument(const std::string& args, const std::string& key, const std::string& value) {
    const std::string needle = key + "=" + value;
    for (size_t at = args.find(needle); at != std::string::npos; at = args.find(needle, at + 1)) {
        bool startOk = at == 0 || args[at - 1] == ' ';
        size_t end = at + needle.size();
        bool endOk = end == args.size() || args[end] == ' ';
        if (startOk && endOk)
            return true;
    }
    return false;
}

// A module of ours still owned by another live process on this host: then the
// source is in use and must not be taken away from it.
bool ownedByLiveProcess(const std::string& args, const std::string& self) {
    const std::string key = "voxlet.owner=\"";
    size_t at = args.find(key);
    if (at == std::string::npos)
        return false;
    size_t begin = at + key.size();
    size_t end = args.find('"', begin);
    if (end == std::string::npos)
        return false;
    std::string owner = args.substr(begin, end - begin);
    if (owner == self)
        return false;
    size_t colon = owner.rfind(':');
    if (colon == std::string::npos || owner.substr(0, colon) != self.substr(0, self.rfind(':')))
        return false; // another host's, or unreadable: a leftover
    long pid = std::strtol(owner.c_str() + colon + 1, nullptr, 10);
    if (pid <= 0)
        return false;
    return kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

bool isOurModule(const Connection::Module& m) {
    if (m.name == "module-null-sink")
        return hasArgument(m.argument, "sink_name", kMicFeedSinkName);
    if (m.name == "module-remap-source")
        return hasArgument(m.argument, "source_name", kMicSourceName) ||
               hasArgument(m.argument, "master", std::string(kMicFeedSinkName) + ".monitor");
    return false;
}

bool removeLeftovers(Connection& conn, const std::string& self);

// One publication of the source on one server: the modules loaded for it and
// the stream that feeds it. Shared by every connection open at once.
//
// Threads: created on the opening thread (the session's start thread); write()
// on the playout tick; teardown() on the closing thread or at process exit.
// The modules and the event watch are guarded by the connection's main-loop
// lock; the stream lives on a link of its own (see PlaybackLink), guarded by
// mLinkMutex, which write() only tries: others hold it just while a stream
// opens or closes, and the tick never waits for that.
class PulseFeed final : public MicFeed {
  public:
    // `withStream` false: published with no stream yet (restartStream opens one).
    static std::shared_ptr<MicFeed> create(std::unique_ptr<Connection> conn, bool withStream);
    ~PulseFeed() override;

    bool live() const override {
        return mPublished.load(std::memory_order_acquire) && mConn->alive() &&
               !mBroken.load(std::memory_order_relaxed);
    }
    IOReturn write(const void* samples, int count) override;
    void teardown() override;
    bool restartStream() override;
    // Drains and closes the stream unless `sessions` (read under mLinkMutex,
    // which a session's restartStream also holds) is nonzero.
    void closeIdleStream(const std::atomic<int>& sessions) override;
    // Also when one of our modules is unloaded.
    void watch(std::function<void()> onLost) override;

  private:
    explicit PulseFeed(std::unique_ptr<Connection> conn) : mConn(std::move(conn)) {}
    bool publish(); // main-loop lock held
    static void onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* self);
    bool openStream();            // mLinkMutex held
    void closeStream(bool drain); // mLinkMutex held
    void restoreDefaults();
    bool shouldTrim(); // mLinkMutex held

    std::unique_ptr<Connection> mConn;
    std::atomic<bool> mPublished{false};
    std::atomic<bool> mBroken{false}; // the stream failed (server gone, module unloaded)
    std::mutex mLinkMutex;
    std::unique_ptr<PlaybackLink> mLink; // the feed stream; none between sessions
    uint32_t mSinkModule = PA_INVALID_INDEX;
    uint32_t mSourceModule = PA_INVALID_INDEX;
    std::string mDefaultSink; // the defaults before our modules were loaded
    std::string mDefaultSource;
    int64_t mWindowLowest = -1; // trimming (mLinkMutex): lowest queue this window, bytes
    int mWindowTicks = 0;
    std::function<void()> mOnLost;
};

// The one publication of this process, so that connections share it and the
// exit handler finds it. Heap-held and never freed: exit handlers may still
// run after static destruction began.
struct Current {
    std::mutex mutex; // guards feed; held while a feed is created (serialises opens)
    std::weak_ptr<MicFeed> feed;
};

Current& current() {
    static Current* c = new Current;
    return *c;
}

void stopKeeperAtExit();

void tearDownAtExit() {
    stopKeeperAtExit();
    std::shared_ptr<MicFeed> feed;
    {
        std::lock_guard<std::mutex> lock(current().mutex);
        feed = current().feed.lock();
    }
    if (feed)
        feed->teardown();
}

void registerExitHook() {
    static std::once_flag exitHook;
    std::call_once(exitHook, [] { std::atexit(tearDownAtExit); });
}

std::shared_ptr<MicFeed> PulseFeed::create(std::unique_ptr<Connection> conn, bool withStream) {
    std::shared_ptr<PulseFeed> feed(new PulseFeed(std::move(conn)));
    {
        Connection::Lock lock(*feed->mConn);
        if (!feed->publish())
            return nullptr; // the destructor removes whatever was loaded
    }
    if (withStream && !feed->restartStream())
        return nullptr;
    return feed;
}

bool PulseFeed::publish() {
    const std::string self = ownerTag();
    if (!removeLeftovers(*mConn, self))
        return false;
    Connection::ServerInfo info;
    if (!mConn->serverInfo(info))
        return false;
    mDefaultSink = info.defaultSink;
    mDefaultSource = info.defaultSource;
    // From here on teardown() has something to undo.
    mPublished.store(true, std::memory_order_release);

    const std::string owner = " voxlet.owner=\"" + self + "\"";
    // Rewinds on the feed made the monitor run at half speed on PulseAudio;
    // the option does not exist on PipeWire.
    const bool pipewire = info.serverName.find("PipeWire") != std::string::npos;
    std::string sinkArgs = std::string("sink_name=") + kMicFeedSinkName +
                           " format=s16le rate=48000 channels=1 channel_map=mono" +
                           (pipewire ? "" : " norewinds=1") +
                           " sink_properties='device.description=\"" + kMicSourceDescription +
                           " (feed)\"" + owner + "'";
    mSinkModule = mConn->loadModule("module-null-sink", sinkArgs);
    if (mSinkModule == PA_INVALID_INDEX)
        return false;
    // Mono stated explicitly: otherwise PipeWire's remap source is stereo and a
    // mono capture sums both channels (+6 dB).
    std::string sourceArgs =
        std::string("source_name=") + kMicSourceName + " master=" + kMicFeedSinkName +
        ".monitor channels=1 channel_map=mono" + " source_properties='device.description=\"" +
        kMicSourceDescription + "\" device.class=sound device.icon_name=audio-input-microphone" +
        owner + "'";
    mSourceModule = mConn->loadModule("module-remap-source", sourceArgs);
    if (mSourceModule == PA_INVALID_INDEX)
        return false;
    restoreDefaults();
    return true;
}

// Main-loop lock held. False when another running client publishes the source.
bool removeLeftovers(Connection& conn, const std::string& self) {
    std::vector<Connection::Module> modules;
    if (!conn.modules(modules))
        return false;
    for (const Connection::Module& m : modules) {
        if (isOurModule(m) && ownedByLiveProcess(m.argument, self))
            return false; // another running client publishes the source
    }
    // Remap sources first: they hang on the sink's monitor.
    bool unloaded = false;
    for (const char* kind : {"module-remap-source", "module-null-sink"}) {
        for (const Connection::Module& m : modules) {
            if (m.name == kind && isOurModule(m))
                unloaded |= conn.unloadModule(m.index);
        }
    }
    // The server acknowledges an unload before it has run it; loading ours
    // while the old names are still registered would fail.
    for (int wait = 0; unloaded && wait < kLeftoverWaits; ++wait) {
        if (!conn.modules(modules))
            return false;
        unloaded = std::any_of(modules.begin(), modules.end(), isOurModule);
        if (unloaded)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Loading a sink can make it the default when none was set: then everything
// the computer plays would go into the microphone.
void PulseFeed::restoreDefaults() {
    Connection::ServerInfo now;
    if (!mConn->serverInfo(now))
        return;
    if (!mDefaultSink.empty() && now.defaultSink != mDefaultSink)
        mConn->setDefaultSink(mDefaultSink);
    if (!mDefaultSource.empty() && now.defaultSource != mDefaultSource)
        mConn->setDefaultSource(mDefaultSource);
}

bool PulseFeed::openStream() {
    PlaybackLink::Spec spec{};
    spec.clientName = "Voxlet Microphone feed";
    // No media.role=phone: it makes the server cork other streams, and ours.
    spec.streamName = "Voxlet Microphone feed";
    spec.sink = kMicFeedSinkName;
    spec.sample = {PA_SAMPLE_S16LE, kMicRate, 1};
    pa_channel_map_init_mono(&spec.map);
    spec.attr.maxlength = uint32_t(-1);
    spec.attr.tlength = kTargetBytes;
    spec.attr.prebuf = kPrebufBytes;
    spec.attr.minreq = uint32_t(-1);
    spec.attr.fragsize = uint32_t(-1);
    spec.flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    mLink = PlaybackLink::open(spec);
    return mLink != nullptr;
}

PulseFeed::~PulseFeed() {
    teardown();
    mConn.reset();
}

void PulseFeed::closeStream(bool drain) {
    if (mLink && drain)
        mLink->drain(500);
    mLink.reset();
}

bool PulseFeed::restartStream() {
    {
        std::lock_guard<std::mutex> lock(mLinkMutex);
        closeStream(false);
        mWindowLowest = -1;
        mWindowTicks = 0;
        if (!openStream()) {
            mBroken.store(true, std::memory_order_relaxed);
            return false;
        }
        mLink->runFor(kSettleMs);
    }
    return true;
}

void PulseFeed::closeIdleStream(const std::atomic<int>& sessions) {
    std::lock_guard<std::mutex> lock(mLinkMutex);
    if (sessions.load(std::memory_order_relaxed) == 0)
        closeStream(true);
}

void PulseFeed::watch(std::function<void()> onLost) {
    Connection::Lock lock(*mConn);
    mOnLost = onLost;
    mConn->onDown(std::move(onLost));
    pa_context_set_subscribe_callback(mConn->context(), &PulseFeed::onEvent, this);
    if (pa_operation* op =
            pa_context_subscribe(mConn->context(), PA_SUBSCRIPTION_MASK_MODULE, nullptr, nullptr))
        pa_operation_unref(op);
}

// Main-loop thread.
void PulseFeed::onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                        void* self) {
    auto* feed = static_cast<PulseFeed*>(self);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_MODULE ||
        (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_REMOVE ||
        index == PA_INVALID_INDEX || (index != feed->mSinkModule && index != feed->mSourceModule))
        return;
    feed->mBroken.store(true, std::memory_order_relaxed);
    if (feed->mOnLost)
        feed->mOnLost();
}

void PulseFeed::teardown() {
    {
        std::lock_guard<std::mutex> lock(mLinkMutex);
        closeStream(mConn->alive());
    }
    Connection::Lock lock(*mConn);
    // Our own unloads are no loss to report.
    pa_context_set_subscribe_callback(mConn->context(), nullptr, nullptr);
    mConn->onDown(nullptr);
    mOnLost = nullptr;
    if (!mPublished.exchange(false))
        return;
    if (mConn->alive()) {
        if (mSourceModule != PA_INVALID_INDEX)
            mConn->unloadModule(mSourceModule);
        if (mSinkModule != PA_INVALID_INDEX)
            mConn->unloadModule(mSinkModule);
    }
    mSourceModule = mSinkModule = PA_INVALID_INDEX;
}

// Called once per frame, before it is written. The queue is what the server
// asked to have filled (tlength) less what it still asks for: it trails the
// real queue by less than the frame the sink took last, and unlike the
// interpolated latency it does not drift when replies are read late.
bool PulseFeed::shouldTrim() {
    pa_stream* stream = mLink->stream();
    const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream);
    const size_t asked = pa_stream_writable_size(stream);
    if (!attr || asked == size_t(-1))
        return false;
    const int64_t queued = std::max<int64_t>(0, int64_t(attr->tlength) - int64_t(asked));
    noteMicLatencyUs(queued / 2 * 1'000'000 / kMicRate);
    if (mWindowLowest < 0 || queued < mWindowLowest)
        mWindowLowest = queued;
    if (++mWindowTicks < kTrimWindowTicks)
        return false;
    const bool trim = mWindowLowest > kTrimAboveBytes;
    mWindowTicks = 0;
    mWindowLowest = -1;
    return trim;
}

IOReturn PulseFeed::write(const void* samples, int count) {
    if (!mPublished.load(std::memory_order_acquire))
        return kIOReturnNotAttached;
    std::unique_lock<std::mutex> lock(mLinkMutex, std::try_to_lock);
    if (!lock.owns_lock() || !mLink)
        return kIOReturnNotAttached; // between sessions: nothing to write into
    mLink->run();
    if (!mLink->ready()) {
        mBroken.store(true, std::memory_order_relaxed);
        return kIOReturnNotAttached; // the server went away: quiet from now on
    }
    if (count == 0)
        return kIOReturnSuccess;
    if (shouldTrim()) {
        noteMicFrameTrimmed();
        return kIOReturnSuccess;
    }
    // Written into the server's memory pool directly: no copy of ours.
    pa_stream* stream = mLink->stream();
    const char* from = static_cast<const char*>(samples);
    size_t left = size_t(count) * 2;
    while (left > 0) {
        void* to = nullptr;
        size_t n = left;
        if (pa_stream_begin_write(stream, &to, &n) < 0 || !to || n == 0)
            return kIOReturnError;
        n = std::min(n, left);
        std::memcpy(to, from, n);
        if (pa_stream_write(stream, to, n, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return kIOReturnError;
        from += n;
        left -= n;
    }
    mLink->run(); // sends it
    return kIOReturnSuccess;
}

// The one place the back end is chosen: on a PipeWire server the source is a
// node of our own, which goes with our connection; its PulseAudio server only
// serves to clear what an older client left and to see whether another
// running client publishes the source already.
std::shared_ptr<MicFeed> openFeed(bool withStream = true) {
    std::unique_ptr<Connection> conn = Connection::open("Voxlet Microphone");
    if (!conn)
        return nullptr;
#ifdef VOXLET_HAVE_PIPEWIRE
    bool pipewire = false;
    {
        Connection::Lock lock(*conn);
        Connection::ServerInfo info;
        if (!conn->serverInfo(info))
            return nullptr;
        pipewire = info.serverName.find("PipeWire") != std::string::npos;
        std::vector<std::string> sources;
        if (pipewire &&
            (!removeLeftovers(*conn, ownerTag()) || !conn->sources(sources) ||
             std::find(sources.begin(), sources.end(), kMicSourceName) != sources.end()))
            return nullptr;
    }
    if (pipewire) {
        conn.reset(); // never under its own lock
        return pipewire::openMicFeed();
    }
#endif
    return PulseFeed::create(std::move(conn), withStream);
}

// The publication a front end keeps for the program's whole run.
//
// Threads: start() and stop() on the front end's main thread (or at exit);
// run() on the keeper's own thread, the only one that creates, replaces or
// tears down the kept feed, or closes its idle stream; feed() and the session
// count on any thread, the playout tick among them; poke() also on the feed's
// own thread. mMutex guards mRunning, mStopping, mAttempting, mPoked and
// mFeed and is held only to read or swap them, never across a call to the
// server, so the tick waits at most for a pointer copy.
class MicKeeper {
  public:
    static MicKeeper& instance() {
        static MicKeeper* k = new MicKeeper; // never freed: exit handlers may use it
        return *k;
    }

    void start();
    void stop();
    bool running() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mRunning;
    }
    // The kept feed; when an attempt to publish is under way (at launch, or
    // after the server came back) its outcome is awaited, at most `waitMs`.
    std::shared_ptr<MicFeed> settledFeed(int waitMs) {
        std::unique_lock<std::mutex> lock(mMutex);
        mWake.wait_for(lock, std::chrono::milliseconds(waitMs),
                       [this] { return !mAttempting || mStopping; });
        return mFeed && mFeed->live() ? mFeed : nullptr;
    }
    // The kept feed while it is live, else null.
    std::shared_ptr<MicFeed> feed() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mFeed && mFeed->live() ? mFeed : nullptr;
    }
    // Sessions' connections, while open, keep the feed's stream open.
    void sessionOpened() { mOpenSessions.fetch_add(1, std::memory_order_relaxed); }
    void sessionClosed() {
        mOpenSessions.fetch_sub(1, std::memory_order_relaxed);
        poke(); // the stream may go
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kRetry = std::chrono::seconds(2);

    void run();
    void replace(std::shared_ptr<MicFeed> next);
    void setAttempting(bool attempting) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mAttempting = attempting;
        }
        mWake.notify_all();
    }
    bool sleepUntil(Clock::time_point until); // false once asked to stop
    bool sleepUntilPoked();                   // false once asked to stop
    void poke() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mPoked = true;
        }
        mWake.notify_all();
    }

    std::mutex mMutex;
    std::condition_variable mWake; // stop() and poke() wake run(); run() wakes settledFeed()
    bool mRunning = false;
    bool mStopping = false;
    bool mAttempting = false; // run() is publishing; settledFeed() waits for it
    bool mPoked = false;      // something happened that run() must look at
    std::shared_ptr<MicFeed> mFeed;
    std::thread mThread; // start() and stop() only
    std::atomic<int> mOpenSessions{0};
};

void MicKeeper::start() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mRunning)
        return;
    mRunning = true;
    mStopping = false;
    mAttempting = true;
    mThread = std::thread([this] { run(); });
}

void MicKeeper::stop() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (!mRunning || mStopping)
            return;
        mStopping = true;
    }
    mWake.notify_all();
    mThread.join();
    replace(nullptr);
    gLatencyUs.store(-1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mMutex);
    mRunning = false;
    mStopping = false;
}

bool MicKeeper::sleepUntil(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mMutex);
    return !mWake.wait_until(lock, until, [this] { return mStopping; });
}

bool MicKeeper::sleepUntilPoked() {
    std::unique_lock<std::mutex> lock(mMutex);
    mWake.wait(lock, [this] { return mStopping || mPoked; });
    mPoked = false;
    return !mStopping;
}

void MicKeeper::replace(std::shared_ptr<MicFeed> next) {
    std::shared_ptr<MicFeed> old;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        old = std::move(mFeed);
        mFeed = std::move(next);
    }
    if (!old)
        return;
    old->teardown();
    // A tick may still hold a copy for its write: let it finish, so the
    // connection is never closed on the tick's thread.
    for (int i = 0; i < 200 && old.use_count() > 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void MicKeeper::run() {
    pthread_setname_np(pthread_self(), "vx-mic-keeper");
    for (;;) {
        std::shared_ptr<MicFeed> f = feed();
        if (!f) {
            replace(nullptr); // a dead feed goes (nothing to unload on a dead server)
            gLatencyUs.store(-1, std::memory_order_relaxed);
            setAttempting(true);
            f = openFeed(false);
            if (f) {
                f->watch([this] { poke(); });
                replace(f);
            }
            setAttempting(false);
            if (!f && !sleepUntil(Clock::now() + kRetry))
                return;
            continue;
        }
        if (!sleepUntilPoked())
            return;
        f->closeIdleStream(mOpenSessions);
    }
}

// One open connection: writes go to the shared publication, or, when kept,
// to whatever feed the keeper holds now (so a server that comes back during a
// session is fed again at once).
class MicClient : public IOUserClient {
  public:
    // Null: the kept publication.
    explicit MicClient(std::shared_ptr<MicFeed> feed) : mFeed(std::move(feed)) {
        if (!mFeed)
            MicKeeper::instance().sessionOpened();
    }
    ~MicClient() override {
        if (!mFeed)
            MicKeeper::instance().sessionClosed();
    }

    IOReturn externalMethod(uint32_t selector, const uint64_t*, uint32_t, const void* structIn,
                            size_t structInSize, uint64_t* scalarOut, uint32_t* scalarOutCount,
                            void*, size_t*) override {
        if (selector != kMicWriteSelector)
            return kIOReturnUnsupported;
        if (!structIn || structInSize != kMicRequestSize)
            return kIOReturnBadArgument;
        int32_t count;
        std::memcpy(&count, structIn, sizeof count);
        if (count < 0 || count > kMicMaxSamples)
            return kIOReturnBadArgument;
        if (scalarOut && scalarOutCount && *scalarOutCount >= 1) {
            scalarOut[0] = 0;
            *scalarOutCount = 1;
        }
        const char* samples = static_cast<const char*>(structIn) + 4;
        if (mFeed)
            return mFeed->write(samples, count);
        std::shared_ptr<MicFeed> kept = MicKeeper::instance().feed();
        return kept ? kept->write(samples, count) : kIOReturnNotAttached;
    }

  private:
    const std::shared_ptr<MicFeed> mFeed;
};

class MicDriver : public IOServiceDriver {
    // A session opening while the kept source is being published waits for
    // it rather than going without (each step of publishing is bounded).
    static constexpr int kSettleWaitMs = 5000;

  public:
    bool isAvailable() override {
        if (MicKeeper::instance().running())
            return MicKeeper::instance().settledFeed(kSettleWaitMs) != nullptr;
        {
            std::lock_guard<std::mutex> lock(current().mutex);
            std::shared_ptr<MicFeed> feed = current().feed.lock();
            if (feed && feed->live())
                return true;
        }
        return serverAnswers();
    }

    std::unique_ptr<IOUserClient> newUserClient(uint32_t type) override {
        if (type != 0)
            return nullptr;
        if (MicKeeper::instance().running()) {
            std::shared_ptr<MicFeed> kept = MicKeeper::instance().settledFeed(kSettleWaitMs);
            if (!kept)
                return nullptr;
            auto client = std::make_unique<MicClient>(nullptr); // counted before the stream opens
            if (!kept->restartStream())
                return nullptr;
            return client;
        }
        registerExitHook();
        std::lock_guard<std::mutex> lock(current().mutex);
        std::shared_ptr<MicFeed> feed = current().feed.lock();
        if (!feed || !feed->live()) {
            feed.reset(); // a dead one stays with the connections that hold it
            feed = openFeed();
            if (!feed)
                return nullptr;
            current().feed = feed;
        }
        return std::make_unique<MicClient>(std::move(feed));
    }
};

void stopKeeperAtExit() {
    MicKeeper::instance().stop();
}

} // namespace

void keepMicPublished() {
    registerExitHook();
    MicKeeper::instance().start();
}

void stopKeepingMic() {
    MicKeeper::instance().stop();
}

void noteMicLatencyUs(int64_t us) {
    gLatencyUs.store(us, std::memory_order_relaxed);
}

void noteMicFrameTrimmed() {
    gTrimmed.fetch_add(1, std::memory_order_relaxed);
}

int64_t micLatencyUs() {
    return gLatencyUs.load(std::memory_order_relaxed);
}

std::shared_ptr<IOServiceDriver> newMicDriver() {
    return std::make_shared<MicDriver>();
}

uint64_t micFramesTrimmed() {
    return gTrimmed.load(std::memory_order_relaxed);
}

} // namespace darwin::pulse
