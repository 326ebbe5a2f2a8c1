// One publication of the virtual microphone on one sound server, whatever the
// server: the connections and the keeper (PulseMic.cpp) only write into it,
// restart it, watch it and take it down.
#pragma once

#include <IOKit/IOKitLib.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace darwin::pulse {

class MicFeed {
  public:
    virtual ~MicFeed() = default;
    // Any thread: whether the source is up and its server still there.
    virtual bool live() const = 0;
    // The playout tick: never blocks on the server.
    virtual IOReturn write(const void* samples, int count) = 0;
    // Removes the source and everything made for it; idempotent.
    virtual void teardown() = 0;
    // Starts the feed afresh for a session (the source staying): what is
    // queued goes, and the session's first frame starts from the prebuffer.
    // False when the feed is then no longer live.
    virtual bool restartStream() = 0;
    // The keeper, once the last session closed: lets go of what only a session
    // needs, unless `sessions` is nonzero by then.
    virtual void closeIdleStream(const std::atomic<int>& sessions) { (void)sessions; }
    // `onLost` runs on the back end's own thread when the server goes or the
    // source is removed (the feed is then no longer live); it must only wake
    // someone.
    virtual void watch(std::function<void()> onLost) = 0;
};

// What every back end reports through micLatencyUs and micFramesTrimmed.
void noteMicLatencyUs(int64_t us);
void noteMicFrameTrimmed();

} // namespace darwin::pulse

#ifdef VOXLET_HAVE_PIPEWIRE
namespace darwin::pipewire {
// Publishes the source as a node of the PipeWire server this process reaches
// (PIPEWIRE_REMOTE, PIPEWIRE_RUNTIME_DIR); null when none answers.
std::shared_ptr<pulse::MicFeed> openMicFeed();
} // namespace darwin::pipewire
#endif
