// A virtual microphone driver for tests: registered under the device's IOKit
// class, it records every frame written to it (selector 2, 1924-byte request).
//
//   RecordingMicDriverInstaller mic;       // MicDevice now reaches this driver
//   ... session runs ...
//   mic->waitForWrites(50, 3s);
//   mic->frames();   mic->sampleStream();   mic->droppedCount();
//
// Recording happens on the writer's (ticking) thread without allocating: room
// for kCapacity frames is made up front, later frames are counted as dropped.
#pragma once

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
    int sampleCount;
    std::vector<int16_t> samples; // the first sampleCount slots of the request
    std::thread::id thread;       // who wrote it
};

class RecordingMicDriver : public darwin::IOServiceDriver,
                           public std::enable_shared_from_this<RecordingMicDriver> {
  public:
    static constexpr size_t kCapacity = 3000;    // frames recorded (one minute at 20 ms)
    static constexpr size_t kRequestSize = 1924; // sample count + 960 samples
    static constexpr int kMaxSamples = 960;
    static constexpr uint32_t kWriteSelector = 2;

    RecordingMicDriver();

    bool isAvailable() override { return mAvailable.load(); }
    std::unique_ptr<darwin::IOUserClient> newUserClient(uint32_t type) override;

    // Failure modes. Unavailable: does not match. Refusing opens: newUserClient
    // gives null. Refusing writes: well-formed writes fail with an error.
    void setAvailable(bool available) { mAvailable.store(available); }
    void setRefuseOpen(bool refuse) { mRefuseOpen.store(refuse); }
    void setRefuseWrites(bool refuse) { mRefuseWrites.store(refuse); }

    // Accepted frames, oldest first (at most kCapacity).
    std::vector<MicFrame> frames() const;
    // The samples of every recorded frame, one after another.
    std::vector<int16_t> sampleStream() const;
    int writeCount() const;     // accepted writes, recorded or dropped
    int droppedCount() const;   // accepted beyond kCapacity, not recorded
    int refusedCount() const;   // well-formed writes refused by setRefuseWrites
    int malformedCount() const; // calls with another selector, size or sample count
    bool waitForWrites(int count, std::chrono::milliseconds timeout) const;
    void clear();

    int opens() const { return mOpens.load(); }
    int closes() const { return mCloses.load(); }
    int openConnections() const { return mOpens.load() - mCloses.load(); }
    uint32_t lastConnectionType() const { return mLastType.load(); }

    // User-client side.
    IOReturn externalMethod(uint32_t selector, const void* structIn, size_t structInSize,
                            uint64_t* scalarOut, uint32_t* scalarOutCount);
    void connectionClosed() { mCloses.fetch_add(1); }

  private:
    struct Slot {
        int32_t sampleCount;
        int16_t samples[kMaxSamples];
        std::thread::id thread;
    };

    std::atomic<bool> mAvailable{true};
    std::atomic<bool> mRefuseOpen{false};
    std::atomic<bool> mRefuseWrites{false};
    std::atomic<int> mOpens{0};
    std::atomic<int> mCloses{0};
    std::atomic<uint32_t> mLastType{0};

    mutable std::mutex mMutex; // guards the slots and counters below; the writer holds it briefly
    mutable std::condition_variable mWritten;
    std::vector<Slot> mSlots; // kCapacity entries made up front; the first mRecorded hold frames
    size_t mRecorded = 0;
    int mWrites = 0;
    int mDropped = 0;
    int mRefused = 0;
    int mMalformed = 0;
};

// Registers a fresh RecordingMicDriver under the virtual microphone's class
// for its lifetime, then removes it (the built-in driver serves again).
class RecordingMicDriverInstaller {
  public:
    RecordingMicDriverInstaller();
    ~RecordingMicDriverInstaller();
    RecordingMicDriverInstaller(const RecordingMicDriverInstaller&) = delete;
    RecordingMicDriverInstaller& operator=(const RecordingMicDriverInstaller&) = delete;

    RecordingMicDriver& driver() { return *mDriver; }
    RecordingMicDriver* operator->() { return mDriver.get(); }

  private:
    std::shared_ptr<RecordingMicDriver> mDriver;
};
