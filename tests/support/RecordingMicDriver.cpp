#include "RecordingMicDriver.h"

#include "MicDevice.h"

#include <cstring>

namespace {

class RecordingUserClient : public darwin::IOUserClient {
  public:
    explicit RecordingUserClient(std::shared_ptr<RecordingMicDriver> driver)
        : mDriver(std::move(driver)) {}
    ~RecordingUserClient() override { mDriver->connectionClosed(); }

    IOReturn externalMethod(uint32_t selector, const uint64_t* /*scalarIn*/,
                            uint32_t /*scalarInCount*/, const void* structIn, size_t structInSize,
                            uint64_t* scalarOut, uint32_t* scalarOutCount, void* /*structOut*/,
                            size_t* /*structOutSize*/) override {
        return mDriver->externalMethod(selector, structIn, structInSize, scalarOut, scalarOutCount);
    }

  private:
    std::shared_ptr<RecordingMicDriver> mDriver;
};

} // namespace

RecordingMicDriver::RecordingMicDriver() : mSlots(kCapacity) {}

std::unique_ptr<darwin::IOUserClient> RecordingMicDriver::newUserClient(uint32_t type) {
    mLastType.store(type);
    if (mRefuseOpen.load()) {
        return nullptr;
    }
    mOpens.fetch_add(1);
    return std::make_unique<RecordingUserClient>(shared_from_this());
}

// Request layout (host byte order), 1924 bytes:
//   0  int32      sample count, 0..960
//   4  int16[960] samples; only the first `sample count` are the frame's
IOReturn RecordingMicDriver::externalMethod(uint32_t selector, const void* structIn,
                                            size_t structInSize, uint64_t* scalarOut,
                                            uint32_t* scalarOutCount) {
    int32_t count = -1;
    if (structIn != nullptr && structInSize == kRequestSize) {
        std::memcpy(&count, structIn, sizeof count);
    }
    const bool wellFormed = selector == kWriteSelector && count >= 0 && count <= kMaxSamples &&
                            scalarOut != nullptr && scalarOutCount != nullptr &&
                            *scalarOutCount >= 1;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (!wellFormed) {
            ++mMalformed;
            return kIOReturnBadArgument;
        }
        if (mRefuseWrites.load()) {
            ++mRefused;
            return kIOReturnNotAttached;
        }
        ++mWrites;
        if (mRecorded < kCapacity) {
            Slot& slot = mSlots[mRecorded++];
            slot.sampleCount = count;
            std::memcpy(slot.samples, static_cast<const char*>(structIn) + sizeof(int32_t),
                        static_cast<size_t>(count) * sizeof(int16_t));
            slot.thread = std::this_thread::get_id();
        } else {
            ++mDropped;
        }
    }
    mWritten.notify_all();
    scalarOut[0] = 0;
    *scalarOutCount = 1;
    return kIOReturnSuccess;
}

std::vector<MicFrame> RecordingMicDriver::frames() const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<MicFrame> out;
    out.reserve(mRecorded);
    for (size_t i = 0; i < mRecorded; ++i) {
        const Slot& slot = mSlots[i];
        out.push_back(MicFrame{slot.sampleCount,
                               std::vector<int16_t>(slot.samples, slot.samples + slot.sampleCount),
                               slot.thread});
    }
    return out;
}

std::vector<int16_t> RecordingMicDriver::sampleStream() const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<int16_t> out;
    for (size_t i = 0; i < mRecorded; ++i) {
        out.insert(out.end(), mSlots[i].samples, mSlots[i].samples + mSlots[i].sampleCount);
    }
    return out;
}

int RecordingMicDriver::writeCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mWrites;
}

int RecordingMicDriver::droppedCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mDropped;
}

int RecordingMicDriver::refusedCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mRefused;
}

int RecordingMicDriver::malformedCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mMalformed;
}

bool RecordingMicDriver::waitForWrites(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mMutex);
    return mWritten.wait_for(lock, timeout, [&] { return mWrites >= count; });
}

void RecordingMicDriver::clear() {
    std::lock_guard<std::mutex> lock(mMutex);
    mRecorded = 0;
    mWrites = 0;
    mDropped = 0;
    mRefused = 0;
    mMalformed = 0;
}

RecordingMicDriverInstaller::RecordingMicDriverInstaller()
    : mDriver(std::make_shared<RecordingMicDriver>()) {
    darwin::IORegisterServiceDriver(MicDevice::kServiceClass, mDriver);
}

RecordingMicDriverInstaller::~RecordingMicDriverInstaller() {
    darwin::IORegisterServiceDriver(MicDevice::kServiceClass, nullptr);
}
