// The Audio Queue stand-in: an output queue keeps its enqueued buffers in a
// fixed FIFO, and a back end (made by the installed factory) takes them in
// order, plays them and hands each back through the output callback on its own
// thread. Enqueueing and handing back never allocate: the speaker's buffers
// cycle through here every 20 ms.
//
// Buffer ownership: a buffer is the application's (free), queued (in the FIFO)
// or playing (taken by the back end). Stop and Dispose return every buffer to
// the application; no callback runs after they return.
#include "Builtins.h"

#include <AudioToolbox/AudioToolbox.h>
#include <darwin/AudioQueueBackend.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

namespace {

constexpr int kMaxBuffers = 64;

enum class BufferState { Free, Queued, Playing };

// The application sees only `buffer`, the first member, so a buffer pointer
// and its record are the same address.
struct BufferRecord {
    AudioQueueBuffer buffer;
    BufferState state = BufferState::Free;

    BufferRecord(UInt32 capacity, void* data) : buffer{capacity, data, 0, nullptr, 0, nullptr, 0} {}
    ~BufferRecord() { delete[] static_cast<unsigned char*>(buffer.mAudioData); }
};
static_assert(offsetof(BufferRecord, buffer) == 0);

std::mutex gFactoryMutex;                  // guards gFactory
darwin::AudioQueueBackendFactory gFactory; // empty: the built-in back end

} // namespace

// Locks, taken in this order only (nothing takes mControl while holding mLock):
// - mControl serialises Start, Stop, Dispose and FreeBuffer (the back end's
//   start and stop run under it). The back end's thread and the output
//   callback path (takeBuffer, bufferPlayed, Enqueue) never take it, so a
//   back end's stop() may join a thread that is inside the callback.
// - mLock guards the buffer table, each record's state and the FIFO. It is
//   held only while they change; never across a back-end call or the callback.
struct OpaqueAudioQueue final : darwin::AudioQueueEngine {
    AudioStreamBasicDescription mFormat;
    AudioQueueOutputCallback mCallback;
    void* mUserData;
    std::unique_ptr<darwin::AudioQueueBackend> mBackend; // null: no output; set at creation
    std::mutex mControl;
    std::atomic<bool> mRunning{false}; // written under mControl, read by Enqueue

    std::mutex mLock;
    BufferRecord* mBuffers[kMaxBuffers] = {}; // allocated buffers; null slots are free
    BufferRecord* mFifo[kMaxBuffers] = {};    // queued buffers, oldest at mHead
    int mHead = 0;
    int mCount = 0;
    Float32 mVolume = 1.0f;

    OpaqueAudioQueue(const AudioStreamBasicDescription& format, AudioQueueOutputCallback callback,
                     void* userData, std::unique_ptr<darwin::AudioQueueBackend> backend)
        : mFormat(format), mCallback(callback), mUserData(userData), mBackend(std::move(backend)) {}

    ~OpaqueAudioQueue() {
        for (BufferRecord*& record : mBuffers) {
            delete record;
            record = nullptr;
        }
    }

    // mLock held.
    BufferRecord* findLocked(AudioQueueBufferRef buffer) {
        if (buffer == nullptr) {
            return nullptr;
        }
        for (BufferRecord* record : mBuffers) {
            if (record != nullptr && &record->buffer == buffer) {
                return record;
            }
        }
        return nullptr;
    }

    // mLock held. Every buffer goes back to the application.
    void clearLocked() {
        for (BufferRecord* record : mBuffers) {
            if (record != nullptr) {
                record->state = BufferState::Free;
            }
        }
        mHead = 0;
        mCount = 0;
    }

    // mControl held.
    void stopLocked() {
        if (mRunning.load()) {
            mBackend->stop();
            mRunning.store(false);
        }
        std::lock_guard<std::mutex> lock(mLock);
        clearLocked();
    }

    AudioQueueBufferRef takeBuffer() override {
        std::lock_guard<std::mutex> lock(mLock);
        if (mCount == 0) {
            return nullptr;
        }
        BufferRecord* record = mFifo[mHead];
        mHead = (mHead + 1) % kMaxBuffers;
        --mCount;
        record->state = BufferState::Playing;
        return &record->buffer;
    }

    void bufferPlayed(AudioQueueBufferRef buffer) override {
        {
            std::lock_guard<std::mutex> lock(mLock);
            BufferRecord* record = findLocked(buffer);
            if (record == nullptr || record->state != BufferState::Playing) {
                return; // not one the back end took: nothing to hand back
            }
            record->state = BufferState::Free;
        }
        mCallback(mUserData, this, buffer);
    }

    const AudioStreamBasicDescription& format() const override { return mFormat; }
};

namespace darwin {

void AudioQueueSetBackendFactory(AudioQueueBackendFactory factory) {
    AudioQueueBackendFactory previous;
    {
        std::lock_guard<std::mutex> lock(gFactoryMutex);
        previous = std::exchange(gFactory, std::move(factory));
    }
    // Whatever `previous` captured is released unlocked.
}

} // namespace darwin

namespace {

std::unique_ptr<darwin::AudioQueueBackend> makeBackend() {
    darwin::AudioQueueBackendFactory factory;
    {
        std::lock_guard<std::mutex> lock(gFactoryMutex);
        factory = gFactory;
    }
    if (!factory) {
        factory = darwin::builtinAudioQueueBackendFactory();
    }
    return factory ? factory() : nullptr;
}

// Interleaved signed 16-bit linear PCM in host byte order: what the back ends play.
bool isSupportedFormat(const AudioStreamBasicDescription& f) {
    const UInt32 required = kAudioFormatFlagIsSignedInteger;
    const UInt32 refused =
        kAudioFormatFlagIsFloat | kAudioFormatFlagIsBigEndian | kAudioFormatFlagIsNonInterleaved;
    return f.mFormatID == kAudioFormatLinearPCM && (f.mFormatFlags & required) == required &&
           (f.mFormatFlags & refused) == 0 && f.mBitsPerChannel == 16 && f.mChannelsPerFrame >= 1 &&
           f.mChannelsPerFrame <= 8 && f.mFramesPerPacket == 1 &&
           f.mBytesPerFrame == 2 * f.mChannelsPerFrame && f.mBytesPerPacket == f.mBytesPerFrame &&
           f.mSampleRate >= 1000.0 && f.mSampleRate <= 384000.0;
}

} // namespace

OSStatus AudioQueueNewOutput(const AudioStreamBasicDescription* inFormat,
                             AudioQueueOutputCallback inCallbackProc, void* inUserData,
                             CFRunLoopRef /*inCallbackRunLoop*/,
                             CFStringRef /*inCallbackRunLoopMode*/, UInt32 /*inFlags*/,
                             AudioQueueRef* outAQ) {
    if (outAQ == nullptr) {
        return kAudioQueueErr_InvalidParameter;
    }
    *outAQ = nullptr;
    if (inFormat == nullptr || inCallbackProc == nullptr) {
        return kAudioQueueErr_InvalidParameter;
    }
    if (!isSupportedFormat(*inFormat)) {
        return kAudioFormatUnsupportedDataFormatError;
    }
    // A queue without a back end is still a queue: only AudioQueueStart fails.
    *outAQ = new OpaqueAudioQueue(*inFormat, inCallbackProc, inUserData, makeBackend());
    return noErr;
}

OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, UInt32 inBufferByteSize,
                                  AudioQueueBufferRef* outBuffer) {
    if (outBuffer == nullptr) {
        return kAudioQueueErr_InvalidParameter;
    }
    *outBuffer = nullptr;
    if (inAQ == nullptr || inBufferByteSize == 0) {
        return kAudioQueueErr_InvalidParameter;
    }
    auto* data = new (std::nothrow) unsigned char[inBufferByteSize]();
    if (data == nullptr) {
        return kAudioQueueErr_InvalidParameter;
    }
    auto* record = new BufferRecord(inBufferByteSize, data);
    std::lock_guard<std::mutex> lock(inAQ->mLock);
    for (BufferRecord*& slot : inAQ->mBuffers) {
        if (slot == nullptr) {
            slot = record;
            *outBuffer = &record->buffer;
            return noErr;
        }
    }
    delete record;
    return kAudioQueueErr_InvalidBuffer; // the queue holds as many buffers as it can
}

OSStatus AudioQueueFreeBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer) {
    if (inAQ == nullptr) {
        return kAudioQueueErr_InvalidParameter;
    }
    // While the queue runs, a buffer may be in the back end's hands or in the
    // application's callback; freeing it then would pull memory from under
    // them. Dispose frees it safely.
    std::lock_guard<std::mutex> control(inAQ->mControl);
    if (inAQ->mRunning.load()) {
        return kAudioQueueErr_InvalidBuffer;
    }
    BufferRecord* record = nullptr;
    {
        std::lock_guard<std::mutex> lock(inAQ->mLock);
        record = inAQ->findLocked(inBuffer);
        if (record == nullptr) {
            return kAudioQueueErr_InvalidBuffer;
        }
        if (record->state == BufferState::Queued) {
            // Close the gap it leaves in the FIFO, keeping the others' order.
            int kept = 0;
            for (int i = 0; i < inAQ->mCount; ++i) {
                BufferRecord* queued = inAQ->mFifo[(inAQ->mHead + i) % kMaxBuffers];
                if (queued != record) {
                    inAQ->mFifo[(inAQ->mHead + kept++) % kMaxBuffers] = queued;
                }
            }
            inAQ->mCount = kept;
        }
        for (BufferRecord*& slot : inAQ->mBuffers) {
            if (slot == record) {
                slot = nullptr;
            }
        }
    }
    delete record;
    return noErr;
}

OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer,
                                 UInt32 inNumPacketDescs,
                                 const AudioStreamPacketDescription* /*inPacketDescs*/) {
    if (inAQ == nullptr || inBuffer == nullptr) {
        return kAudioQueueErr_InvalidParameter;
    }
    if (inNumPacketDescs != 0) {
        return kAudioQueueErr_InvalidParameter; // constant-size PCM has no packet descriptions
    }
    {
        std::lock_guard<std::mutex> lock(inAQ->mLock);
        BufferRecord* record = inAQ->findLocked(inBuffer);
        if (record == nullptr || record->state != BufferState::Free ||
            inBuffer->mAudioDataByteSize > inBuffer->mAudioDataBytesCapacity) {
            return kAudioQueueErr_InvalidBuffer;
        }
        if (inBuffer->mAudioDataByteSize == 0) {
            return kAudioQueueErr_BufferEmpty;
        }
        // Each buffer is queued at most once, so the FIFO cannot overflow.
        inAQ->mFifo[(inAQ->mHead + inAQ->mCount) % kMaxBuffers] = record;
        ++inAQ->mCount;
        record->state = BufferState::Queued;
    }
    if (inAQ->mRunning.load()) {
        inAQ->mBackend->bufferEnqueued();
    }
    return noErr;
}

OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp* /*inStartTime*/) {
    if (inAQ == nullptr) {
        return kAudioQueueErr_InvalidParameter;
    }
    std::lock_guard<std::mutex> control(inAQ->mControl);
    if (inAQ->mRunning.load()) {
        return noErr;
    }
    if (!inAQ->mBackend) {
        return kAudioQueueErr_CannotStart;
    }
    OSStatus status = inAQ->mBackend->start(inAQ);
    if (status != noErr) {
        return status;
    }
    inAQ->mRunning.store(true);
    // A buffer enqueued while the back end was starting found the queue not yet
    // running and told nobody; wake an idle back end for it.
    bool pending = false;
    {
        std::lock_guard<std::mutex> lock(inAQ->mLock);
        pending = inAQ->mCount > 0;
    }
    if (pending) {
        inAQ->mBackend->bufferEnqueued();
    }
    return noErr;
}

OSStatus AudioQueueStop(AudioQueueRef inAQ, Boolean /*inImmediate*/) {
    if (inAQ == nullptr) {
        return kAudioQueueErr_InvalidParameter;
    }
    // Always immediate: the queue's buffers are dropped and no callback runs
    // after this returns.
    std::lock_guard<std::mutex> control(inAQ->mControl);
    inAQ->stopLocked();
    return noErr;
}

OSStatus AudioQueueDispose(AudioQueueRef inAQ, Boolean /*inImmediate*/) {
    if (inAQ == nullptr) {
        return kAudioQueueErr_InvalidParameter;
    }
    {
        std::lock_guard<std::mutex> control(inAQ->mControl);
        inAQ->stopLocked();
        inAQ->mBackend.reset();
    }
    delete inAQ; // frees every buffer still allocated
    return noErr;
}

OSStatus AudioQueueSetParameter(AudioQueueRef inAQ, AudioQueueParameterID inParamID,
                                AudioQueueParameterValue inValue) {
    if (inAQ == nullptr || inParamID != kAudioQueueParam_Volume || !(inValue >= 0.0f) ||
        inValue > 1.0f) {
        return kAudioQueueErr_InvalidParameter;
    }
    std::lock_guard<std::mutex> lock(inAQ->mLock);
    inAQ->mVolume = inValue;
    return noErr;
}
