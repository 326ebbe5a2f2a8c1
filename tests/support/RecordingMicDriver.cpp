#include "RecordingMicDriver.h"

#include <cstring>

namespace {

struct Client : darwin::IOUserClient {
    std::shared_ptr<RecordingMicDriver> driver;
    explicit Client(std::shared_ptr<RecordingMicDriver> d) : driver(std::move(d)) {}
    ~Client() override { driver->closes.fetch_add(1); }
    IOReturn externalMethod(uint32_t selector, const uint64_t*, uint32_t, const void* in,
                            size_t size, uint64_t* out, uint32_t* outCount, void*,
                            size_t*) override {
        return driver->write(selector, in, size, out, outCount);
    }
};

} // namespace

std::unique_ptr<darwin::IOUserClient> RecordingMicDriver::newUserClient(uint32_t type) {
    lastConnectionType.store(type);
    if (refuseOpen.load())
        return nullptr;
    opens.fetch_add(1);
    return std::make_unique<Client>(shared_from_this());
}

IOReturn RecordingMicDriver::write(uint32_t selector, const void* in, size_t size, uint64_t* out,
                                   uint32_t* outCount) {
    int32_t count = -1;
    if (in != nullptr && size == sizeof(MicWriteRequest))
        std::memcpy(&count, in, sizeof count);
    std::unique_lock<std::mutex> lock(mMutex);
    if (selector != 2 || count < 0 || count > 960 || !out || !outCount || *outCount < 1) {
        ++mMalformed;
        return kIOReturnBadArgument;
    }
    ++mWrites;
    if (mRecorded < mFrames.size()) {
        MicFrame& f = mFrames[mRecorded++];
        f.sampleCount = count;
        std::memcpy(f.samples, static_cast<const char*>(in) + 4, size_t(count) * 2);
        f.thread = std::this_thread::get_id();
    }
    lock.unlock();
    mWritten.notify_all();
    out[0] = 0;
    *outCount = 1;
    return kIOReturnSuccess;
}
