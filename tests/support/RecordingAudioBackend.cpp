#include "RecordingAudioBackend.h"

#include <pthread.h>

namespace {

class RecordingAudioBackend : public darwin::AudioQueueBackend {
  public:
    explicit RecordingAudioBackend(std::shared_ptr<RecordingBackendControl> control)
        : mControl(std::move(control)) {
        mControl->created.fetch_add(1);
    }
    ~RecordingAudioBackend() override {
        if (mThread.joinable())
            stop();
    }
    OSStatus start(darwin::AudioQueueEngine* engine) override {
        mEngine = engine;
        mStopping = false;
        mThread = std::thread([this] { run(); });
        mControl->started.fetch_add(1);
        return 0;
    }
    void bufferEnqueued() override { mWake.notify_one(); } // else the next poll finds it
    void stop() override {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mStopping = true;
            mWake.notify_one();
        }
        if (mThread.joinable())
            mThread.join();
        mControl->stopped.fetch_add(1);
    }

  private:
    // The device clock: each buffer occupies the device for its own duration,
    // on an absolute schedule; when it runs dry the schedule restarts from now.
    void run() {
        pthread_setname_np(pthread_self(), "vx-speaker");
        using Clock = std::chrono::steady_clock;
        const double bytesPerSecond =
            mEngine->format().mSampleRate * mEngine->format().mBytesPerFrame;
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
                mWake.wait_for(lock, std::chrono::milliseconds(1));
                deadline = std::max(deadline, Clock::now());
                continue;
            }
            deadline += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(buffer->mAudioDataByteSize / bytesPerSecond));
            if (mWake.wait_until(lock, deadline, [&] { return mStopping; }))
                break; // stopped mid-buffer: it is not played and not handed back
            lock.unlock();
            mControl->recording.append(static_cast<const int16_t*>(buffer->mAudioData),
                                       buffer->mAudioDataByteSize);
            mEngine->bufferPlayed(buffer);
            lock.lock();
        }
    }

    std::shared_ptr<RecordingBackendControl> mControl;
    darwin::AudioQueueEngine* mEngine = nullptr; // set by start before the thread runs
    std::thread mThread;                         // start/stop caller only
    std::mutex mMutex;                           // guards mStopping
    std::condition_variable mWake;
    bool mStopping = false;
};

} // namespace

RecordingAudioBackendInstaller::RecordingAudioBackendInstaller() {
    std::shared_ptr<RecordingBackendControl> control = mControl;
    darwin::AudioQueueSetBackendFactory([control]() -> std::unique_ptr<darwin::AudioQueueBackend> {
        return std::make_unique<RecordingAudioBackend>(control);
    });
}

RecordingAudioBackendInstaller::~RecordingAudioBackendInstaller() {
    darwin::AudioQueueSetBackendFactory({});
}
