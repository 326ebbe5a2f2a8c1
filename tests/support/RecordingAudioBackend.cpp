#include "RecordingAudioBackend.h"

#include <algorithm>
#include <cstring>
#include <pthread.h>

AudioRecording::AudioRecording() {
    // Room for two minutes at 48000 Hz, so recording never allocates on the
    // playing thread (the allocation-count test watches it).
    mSamples.reserve(48000 * 120);
    mBufferSizes.reserve(6000);
    mThreads.reserve(16);
}

std::vector<int16_t> AudioRecording::samples() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mSamples;
}

std::vector<uint32_t> AudioRecording::bufferSizes() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mBufferSizes;
}

int AudioRecording::buffersPlayed() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return static_cast<int>(mBufferSizes.size());
}

std::vector<std::thread::id> AudioRecording::callbackThreads() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mThreads;
}

bool AudioRecording::waitForBuffers(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mMutex);
    return mPlayed.wait_for(lock, timeout,
                            [&] { return static_cast<int>(mBufferSizes.size()) >= count; });
}

void AudioRecording::clear() {
    std::lock_guard<std::mutex> lock(mMutex);
    mSamples.clear();
    mBufferSizes.clear();
    mThreads.clear();
}

void AudioRecording::append(const int16_t* samples, size_t sampleCount, uint32_t byteSize) {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mSamples.insert(mSamples.end(), samples, samples + sampleCount);
        mBufferSizes.push_back(byteSize);
        const std::thread::id self = std::this_thread::get_id();
        if (std::find(mThreads.begin(), mThreads.end(), self) == mThreads.end()) {
            mThreads.push_back(self);
        }
    }
    mPlayed.notify_all();
}

RecordingAudioBackend::RecordingAudioBackend(std::shared_ptr<RecordingBackendControl> control)
    : mControl(std::move(control)) {
    mControl->created.fetch_add(1);
}

RecordingAudioBackend::~RecordingAudioBackend() {
    // The queue stops a started back end before destroying it; this only
    // covers a back end destroyed some other way.
    if (mThread.joinable()) {
        stop();
    }
}

OSStatus RecordingAudioBackend::start(darwin::AudioQueueEngine* engine) {
    const OSStatus refusal = mControl->startStatus.load();
    if (refusal != 0) {
        return refusal;
    }
    mEngine = engine;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStopping = false;
        mWoken = false;
    }
    mThread = std::thread([this] { run(); });
    mControl->started.fetch_add(1);
    return 0;
}

void RecordingAudioBackend::bufferEnqueued() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mWoken = true;
    }
    mWake.notify_one();
}

void RecordingAudioBackend::stop() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
    }
    mWake.notify_one();
    if (mThread.joinable()) {
        mThread.join();
    }
    mControl->stopped.fetch_add(1);
}

// The device clock: each buffer occupies the device for its own duration,
// measured on an absolute schedule so that the pace does not drift with the
// time spent here. When it runs dry the schedule restarts from now.
void RecordingAudioBackend::run() {
    pthread_setname_np(pthread_self(), "vx-speaker");
    using Clock = std::chrono::steady_clock;
    const AudioStreamBasicDescription& format = mEngine->format();
    const double bytesPerSecond = format.mSampleRate * format.mBytesPerFrame;
    Clock::time_point deadline = Clock::now();
    std::unique_lock<std::mutex> lock(mMutex);
    while (!mStopping) {
        AudioQueueBufferRef buffer = nullptr;
        if (!mControl->held.load()) {
            lock.unlock();
            buffer = mEngine->takeBuffer();
            lock.lock();
        }
        if (buffer == nullptr) {
            mWake.wait_for(lock, std::chrono::milliseconds(1), [&] { return mStopping || mWoken; });
            mWoken = false;
            deadline = std::max(deadline, Clock::now());
            continue;
        }
        const uint32_t bytes = buffer->mAudioDataByteSize;
        deadline += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(bytes / bytesPerSecond));
        mWake.wait_until(lock, deadline, [&] { return mStopping; });
        if (mStopping) {
            break; // stopped mid-buffer: it is not played and not handed back
        }
        lock.unlock();
        mControl->recording.append(static_cast<const int16_t*>(buffer->mAudioData),
                                   bytes / sizeof(int16_t), bytes);
        mEngine->bufferPlayed(buffer);
        lock.lock();
    }
}

RecordingAudioBackendInstaller::RecordingAudioBackendInstaller()
    : mControl(std::make_shared<RecordingBackendControl>()) {
    std::shared_ptr<RecordingBackendControl> control = mControl;
    darwin::AudioQueueSetBackendFactory([control]() -> std::unique_ptr<darwin::AudioQueueBackend> {
        return std::make_unique<RecordingAudioBackend>(control);
    });
}

RecordingAudioBackendInstaller::~RecordingAudioBackendInstaller() {
    darwin::AudioQueueSetBackendFactory({});
}
