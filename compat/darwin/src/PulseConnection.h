// One connection to a PulseAudio-compatible sound server: a threaded main loop
// (one thread of libpulse's own) and a context on it.
//
// Threads and locks: every pa_* object reached through a Connection belongs to
// its main loop and is touched only while holding the main-loop lock (Lock),
// or from libpulse callbacks, which run on the main-loop thread with that lock
// held. Nothing that blocks on anything but the sound server runs under it, and
// every wait for the server is bounded. alive() reads an atomic and needs no lock.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace darwin::pulse {

// Bounded waits for the server: connecting, a module load, a stream becoming ready.
constexpr int kConnectTimeoutMs = 2000;
constexpr int kOperationTimeoutMs = 2000;

class Connection {
  public:
    // Connects to the server that PULSE_SERVER (or the client configuration)
    // names, never spawning one. Null when none answers within `timeoutMs`.
    static std::unique_ptr<Connection> open(const char* clientName,
                                            int timeoutMs = kConnectTimeoutMs);
    ~Connection(); // disconnects and ends the main-loop thread; call without the lock
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Holds the main-loop lock for its scope. Never use on the main-loop thread.
    class Lock {
      public:
        explicit Lock(Connection& c) : mLoop(c.mLoop) { pa_threaded_mainloop_lock(mLoop); }
        ~Lock() { pa_threaded_mainloop_unlock(mLoop); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pa_threaded_mainloop* mLoop;
    };

    pa_threaded_mainloop* loop() const { return mLoop; }
    pa_context* context() const { return mContext; }
    // False once the context failed or was terminated (the server went away).
    bool alive() const { return mAlive.load(std::memory_order_acquire); }

    // With the lock held: waits until done() is true, the context dies or
    // `timeoutMs` passes; true when done() became true. Callbacks that change
    // what done() looks at must call signal().
    bool waitUntil(const std::function<bool()>& done, int timeoutMs = kOperationTimeoutMs);
    // With the lock held: waits for an operation to finish (bounded), then
    // releases it. False when it did not finish in time or op is null.
    bool waitFor(pa_operation* op, int timeoutMs = kOperationTimeoutMs);
    void signal() { pa_threaded_mainloop_signal(mLoop, 0); }
    // With the lock held: called on the main-loop thread (lock held) when the
    // context fails or is terminated, so a watcher need not poll alive().
    void onDown(std::function<void()> fn) { mOnDown = std::move(fn); }

    // With the lock held: the server's name and default sink and source names
    // (empty when it has none); false when the server did not answer.
    struct ServerInfo {
        std::string serverName;
        std::string defaultSink;
        std::string defaultSource;
    };
    bool serverInfo(ServerInfo& out);

    // With the lock held: the loaded modules' indices, names and arguments.
    struct Module {
        uint32_t index;
        std::string name;
        std::string argument;
    };
    bool modules(std::vector<Module>& out);
    // With the lock held: loads a module; its index, or PA_INVALID_INDEX.
    uint32_t loadModule(const char* name, const std::string& argument);
    bool unloadModule(uint32_t index);
    bool setDefaultSink(const std::string& name);
    bool setDefaultSource(const std::string& name);
    // With the lock held: the names of the sinks (sources) the server has now.
    bool sinks(std::vector<std::string>& out);
    bool sources(std::vector<std::string>& out);

  private:
    Connection() = default;
    static void onContextState(pa_context* c, void* self);

    pa_threaded_mainloop* mLoop = nullptr;
    pa_context* mContext = nullptr; // main-loop lock
    std::atomic<bool> mAlive{false};
    std::function<void()> mOnDown; // main-loop lock
    bool mLoopRunning = false;     // creator's thread only
};

// A playback stream on a connection of its own whose main loop is no thread:
// whoever owns the link runs it, so nothing wakes for the stream but its
// owner. Run at each write, it sends the write and reads the server's
// requests in the same pass.
//
// Threads: one owner at a time, which the caller serialises. Every wait is
// bounded; run() never waits.
class PlaybackLink {
  public:
    struct Spec {
        const char* clientName;
        const char* streamName;
        const char* sink;
        pa_sample_spec sample;
        pa_channel_map map;
        pa_buffer_attr attr;
        pa_stream_flags_t flags;
    };
    // Connects and opens the stream, each step bounded by `timeoutMs`; null
    // when either fails.
    static std::unique_ptr<PlaybackLink> open(const Spec& spec, int timeoutMs = kConnectTimeoutMs);
    ~PlaybackLink(); // disconnects at once, dropping what was not played
    PlaybackLink(const PlaybackLink&) = delete;
    PlaybackLink& operator=(const PlaybackLink&) = delete;

    pa_stream* stream() const { return mStream; }
    // Handles what the server sent and sends what was written, without waiting.
    void run();
    // Whether the connection and the stream are up, as of the last run().
    bool ready() const;
    // Waits (bounded) until what was written has been played.
    void drain(int timeoutMs);
    // Runs the loop for `ms`, handling what the server sends meanwhile.
    void runFor(int ms) {
        runUntil([] { return false; }, ms);
    }

  private:
    PlaybackLink() = default;
    // Runs the loop until done(), the connection dies or `timeoutMs` passes.
    bool runUntil(const std::function<bool()>& done, int timeoutMs);

    pa_mainloop* mLoop = nullptr;
    pa_context* mContext = nullptr;
    pa_stream* mStream = nullptr;
};

// True when a sound server answers now (connects and disconnects).
bool serverAnswers(int timeoutMs = kConnectTimeoutMs);

} // namespace darwin::pulse
