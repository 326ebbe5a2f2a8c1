// An audio queue back end for tests: plays into memory at the real pace and
// hands each buffer back through the output callback on its own thread
// (named as the real one). Installed for the queues made while its installer
// lives:
//   RecordingAudioBackendInstaller speaker;
//   ... AudioPlayer player(48000, 20); player.open(); ...
//   speaker.recording().waitForBuffers(13);   speaker.recording().samples();
#pragma once

#include <darwin/AudioQueueBackend.h>

#include <algorithm>
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
    AudioRecording() {
        mSamples.reserve(48000 * 120);
        mBufferSizes.reserve(6000);
        mThreads.reserve(16);
    }
    std::vector<int16_t> samples() const { return locked(mSamples); }
    std::vector<uint32_t> bufferSizes() const { return locked(mBufferSizes); } // in bytes
    std::vector<std::thread::id> threads() const { return locked(mThreads); }  // that played
    bool waitForBuffers(int count,
                        std::chrono::milliseconds limit = std::chrono::seconds(60)) const {
        std::unique_lock<std::mutex> lock(mMutex);
        return mPlayed.wait_for(lock, limit, [&] { return (int)mBufferSizes.size() >= count; });
    }
    void append(const int16_t* samples, uint32_t byteSize) {
        std::lock_guard<std::mutex> lock(mMutex);
        mSamples.insert(mSamples.end(), samples, samples + byteSize / 2);
        mBufferSizes.push_back(byteSize);
        if (std::find(mThreads.begin(), mThreads.end(), std::this_thread::get_id()) ==
            mThreads.end())
            mThreads.push_back(std::this_thread::get_id());
        mPlayed.notify_all();
    }

  private:
    template <class T> T locked(const T& v) const {
        std::lock_guard<std::mutex> lock(mMutex);
        return v;
    }
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
