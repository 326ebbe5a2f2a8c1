// An audio queue back end for tests: plays into memory at the real pace and
// hands each buffer back through the output callback on its own thread
// (named as the real one). Installed for the queues made while its installer
// lives:
//   RecordingAudioBackendInstaller speaker;
//   ... AudioPlayer player(48000, 20); player.open(); ...
//   speaker.recording().waitForBuffers(13);   speaker.recording().samples();
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

// What every back end of one installer has played. Written by the back ends'
// threads (without allocating: room for two minutes is made up front), read
// by the test.
class AudioRecording {
  public:
    AudioRecording();
    std::vector<int16_t> samples() const;         // every sample played, in order
    std::vector<uint32_t> bufferSizes() const;    // byte size of each played buffer
    std::vector<std::thread::id> threads() const; // the threads that played
    bool waitForBuffers(int count,
                        std::chrono::milliseconds limit = std::chrono::seconds(60)) const;
    void append(const int16_t* samples, uint32_t byteSize);

  private:
    mutable std::mutex mMutex; // guards everything below
    mutable std::condition_variable mPlayed;
    std::vector<int16_t> mSamples;
    std::vector<uint32_t> mBufferSizes;
    std::vector<std::thread::id> mThreads;
};

// Shared by an installer and the back ends it made (which may outlive it).
struct RecordingBackendControl {
    AudioRecording recording;
    std::atomic<bool> held{false}; // while set, running back ends take no buffer
    std::atomic<int> created{0}, started{0}, stopped{0};
};

class RecordingAudioBackendInstaller {
  public:
    RecordingAudioBackendInstaller();
    ~RecordingAudioBackendInstaller();
    AudioRecording& recording() { return mControl->recording; }
    void setHeld(bool held) { mControl->held.store(held); }
    int backendsCreated() const { return mControl->created.load(); }
    int backendsStarted() const { return mControl->started.load(); }
    int backendsStopped() const { return mControl->stopped.load(); }

  private:
    std::shared_ptr<RecordingBackendControl> mControl = std::make_shared<RecordingBackendControl>();
};
