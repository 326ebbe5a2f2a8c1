// A virtual microphone driver for tests: registered under the device's IOKit
// class while its installer lives, it records every well-formed write
// (selector 2, a 1924-byte request). It records without allocating, into room
// made up front for a minute of frames; later frames are only counted.
#pragma once

#include "MicDevice.h"

#include <darwin/IOKitDriver.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct MicFrame {
    int sampleCount = 0;
    int16_t samples[960];
    std::thread::id thread; // who wrote it
    std::vector<int16_t> pcm() const { return {samples, samples + sampleCount}; }
};

class RecordingMicDriver : public darwin::IOServiceDriver,
                           public std::enable_shared_from_this<RecordingMicDriver> {
  public:
    RecordingMicDriver() : mFrames(3000) {}
    bool isAvailable() override { return available.load(); }
    std::unique_ptr<darwin::IOUserClient> newUserClient(uint32_t type) override;
    IOReturn write(uint32_t selector, const void* in, size_t size, uint64_t* out,
                   uint32_t* outCount);

    std::vector<MicFrame> frames() const { // recorded frames, oldest first
        std::lock_guard<std::mutex> lock(mMutex);
        return {mFrames.begin(), mFrames.begin() + (long)mRecorded};
    }
    int writeCount() const { return mWrites.load(); }        // accepted writes
    int malformedCount() const { return mMalformed.load(); } // another selector, size or count
    bool waitForWrites(int count,
                       std::chrono::milliseconds limit = std::chrono::seconds(60)) const {
        std::unique_lock<std::mutex> lock(mMutex);
        return mWritten.wait_for(lock, limit, [&] { return mWrites >= count; });
    }

    // Failure modes: not matching, refusing opens, refusing well-formed writes.
    std::atomic<bool> available{true}, refuseOpen{false};
    std::atomic<int> opens{0}, closes{0};
    std::atomic<uint32_t> lastConnectionType{99};
    int openConnections() const { return opens.load() - closes.load(); }

  private:
    mutable std::mutex mMutex; // guards what follows; the writer holds it briefly
    mutable std::condition_variable mWritten;
    std::vector<MicFrame> mFrames;
    size_t mRecorded = 0;
    std::atomic<int> mWrites{0}, mMalformed{0}; // changed under mMutex
};

// Registers a fresh RecordingMicDriver for its lifetime (then none again).
class RecordingMicDriverInstaller {
  public:
    RecordingMicDriverInstaller() {
        darwin::IORegisterServiceDriver(MicDevice::kServiceClass, mDriver);
    }
    ~RecordingMicDriverInstaller() {
        darwin::IORegisterServiceDriver(MicDevice::kServiceClass, nullptr);
    }
    RecordingMicDriver* operator->() { return mDriver.get(); }

  private:
    std::shared_ptr<RecordingMicDriver> mDriver = std::make_shared<RecordingMicDriver>();
};
