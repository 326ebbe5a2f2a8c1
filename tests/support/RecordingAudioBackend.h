// An audio queue back end for tests: plays into memory at the real pace and
// hands each buffer back through the output callback on its own thread.
//
//   RecordingAudioBackendInstaller speaker;   // later queues play into it
//   ... AudioPlayer player(48000, 20); player.open(); ...
//   speaker.recording().waitForBuffers(13, 2s);
//   speaker.recording().samples();
#pragma once

#include <darwin/AudioQueueBackend.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// What every back end of one installer has played. Thread-safe: written by the
// back ends' threads, read by the test.
class AudioRecording {
  public:
    AudioRecording();
    // Every sample played, in order (interleaved when the format has more than one channel).
    std::vector<int16_t> samples() const;
    // Byte size of each played buffer, in order.
    std::vector<uint32_t> bufferSizes() const;
    int buffersPlayed() const;
    // The distinct threads that ran the output callback.
    std::vector<std::thread::id> callbackThreads() const;
    // Waits until at least `count` buffers have been played; false on time-out.
    bool waitForBuffers(int count, std::chrono::milliseconds timeout) const;
    void clear();

    // Back end side: one buffer finished playing on the calling thread.
    void append(const int16_t* samples, size_t sampleCount, uint32_t byteSize);

  private:
    mutable std::mutex mMutex; // guards everything below
    mutable std::condition_variable mPlayed;
    std::vector<int16_t> mSamples;
    std::vector<uint32_t> mBufferSizes;
    std::vector<std::thread::id> mThreads;
};

// Controls shared by an installer and the back ends it made (which may outlive it).
struct RecordingBackendControl {
    AudioRecording recording;
    std::atomic<bool> held{false};        // while set, running back ends take no buffer
    std::atomic<OSStatus> startStatus{0}; // non-zero: start() refuses with it
    std::atomic<int> created{0};
    std::atomic<int> started{0};
    std::atomic<int> stopped{0};
};

class RecordingAudioBackend : public darwin::AudioQueueBackend {
  public:
    explicit RecordingAudioBackend(std::shared_ptr<RecordingBackendControl> control);
    ~RecordingAudioBackend() override;

    OSStatus start(darwin::AudioQueueEngine* engine) override;
    void bufferEnqueued() override;
    void stop() override;

  private:
    void run();

    std::shared_ptr<RecordingBackendControl> mControl;
    darwin::AudioQueueEngine* mEngine = nullptr; // set by start before the thread runs
    std::thread mThread;                         // start/stop caller only
    std::mutex mMutex;                           // guards mStopping and mWoken
    std::condition_variable mWake;
    bool mStopping = false;
    bool mWoken = false;
};

// Installs the recording back end for the audio queues made while it lives,
// and restores the default back end when it goes.
class RecordingAudioBackendInstaller {
  public:
    RecordingAudioBackendInstaller();
    ~RecordingAudioBackendInstaller();
    RecordingAudioBackendInstaller(const RecordingAudioBackendInstaller&) = delete;
    RecordingAudioBackendInstaller& operator=(const RecordingAudioBackendInstaller&) = delete;

    AudioRecording& recording() { return mControl->recording; }
    // While held, started back ends keep the enqueued buffers waiting.
    void setHeld(bool held) { mControl->held.store(held); }
    // Makes later start() calls fail with `status` (0: succeed again).
    void setStartStatus(OSStatus status) { mControl->startStatus.store(status); }
    int backendsCreated() const { return mControl->created.load(); }
    int backendsStarted() const { return mControl->started.load(); }
    int backendsStopped() const { return mControl->stopped.load(); }

  private:
    std::shared_ptr<RecordingBackendControl> mControl;
};
