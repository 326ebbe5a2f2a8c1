// Where an output audio queue's sound goes. The queue keeps the enqueued
// buffers in order; a back end takes them, plays them at the device's pace and
// hands each back once played, on a thread of its own.
#pragma once

#include <AudioToolbox/AudioToolbox.h>

#include <functional>
#include <memory>

namespace darwin {

// What a back end sees of its queue.
class AudioQueueEngine {
  public:
    // The oldest enqueued buffer not yet taken, or null. Any thread; never blocks long.
    virtual AudioQueueBufferRef takeBuffer() = 0;
    // Hands a played buffer back through the application's output callback.
    // Call on the back end's own thread, holding none of its locks.
    virtual void bufferPlayed(AudioQueueBufferRef buffer) = 0;
    virtual const AudioStreamBasicDescription& format() const = 0;

  protected:
    ~AudioQueueEngine() = default;
};

// One per queue, created by the installed factory at AudioQueueNewOutput.
class AudioQueueBackend {
  public:
    virtual ~AudioQueueBackend() = default;
    // Starts output; 0, or a non-zero status when there is no output (then
    // nothing of the engine is touched). Called with no queue lock held.
    virtual OSStatus start(AudioQueueEngine* engine) = 0;
    // A buffer was enqueued (any thread, no queue lock held): a back end that
    // idles when it runs dry takes it from here.
    virtual void bufferEnqueued() {}
    // Stops at once; when it returns no thread of the back end touches the
    // engine any more. Called only after a successful start, never from the
    // back end's own thread.
    virtual void stop() = 0;
};

using AudioQueueBackendFactory = std::function<std::unique_ptr<AudioQueueBackend>()>;

// Installs the factory used by later AudioQueueNewOutput calls; an empty one
// restores the default (the PulseAudio back end where built, else none: then
// AudioQueueStart fails with a non-zero status).
void AudioQueueSetBackendFactory(AudioQueueBackendFactory factory);

} // namespace darwin
