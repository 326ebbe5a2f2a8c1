// The session controller. Every slow step runs on a thread of its own and
// reports through the callback; mMutex keeps the stop and abort sequences
// apart and also covers the start thread's two windows that they could
// otherwise interleave with: from the report of state 2 until the workers are
// recorded, and the test of the state before the timer starts. So a stop never
// joins a worker that is still being created, and no ticking thread outlives
// its session.
#include "MicController.h"

#include "RemoteDevice.h"
#include "Settings.h"
#include "SystenInfo.h"
#include "VoiceDecoder.h"

#include <climits>
#include <errno.h>
#include <string.h>
#include <unistd.h>

namespace {

void nameThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}

} // namespace

void* vx_pthread_wrapper(void* entry) {
    ThreadEntry* record = static_cast<ThreadEntry*>(entry);
    void (*func)(void*) = record->func;
    void* arg = record->arg;
    delete record;
    func(arg);
    return nullptr;
}

MicController::MicController(PlayerCallback* callback)
    : mCallback(callback), mNextSequence(0), mRemoteDevice(nullptr), mAudioPlayer(nullptr),
      mState(StateIdle), mPollThread(), mPumpThread(), mAbortError(0),
      mStatistics(Statistics::getInstance()), mSampleRate(0), mChannels(0), mFrameSamples(0),
      mPlayBuffer(nullptr), mHoldTicks(0) {}

MicController::~MicController() {
    // Let a start sequence settle, end a running session as a stop would, and
    // wait until no thread of ours can touch this object any more.
    for (;;) {
        if (mState.load() == StateConnected) {
            stopInternal();
            continue;
        }
        if (mState.load() == StateIdle && mDetachedThreads.load() == 0)
            break;
        usleep(1000);
    }
    mTimer.stop();
    clear();
    delete[] mPlayBuffer;
}

bool MicController::launch(void (*proc)(void*), bool detached, pthread_t* handle) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr,
                                detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    ThreadEntry* entry = new ThreadEntry{proc, this};
    if (detached)
        mDetachedThreads.fetch_add(1);
    pthread_t thread;
    int result = pthread_create(&thread, &attr, vx_pthread_wrapper, entry);
    pthread_attr_destroy(&attr);
    errno = result;
    if (result != 0) {
        delete entry;
        if (detached)
            mDetachedThreads.fetch_sub(1);
        return false;
    }
    if (handle)
        *handle = thread;
    return true;
}

int MicController::start() {
    if (mState.load() != StateIdle)
        return -1;
    // A second press before the start thread reports state 1 must not start a
    // second session.
    if (mStartPending.exchange(true))
        return -1;
    mStatistics->reset();
    if (!launch(StartThreadProc, true, nullptr)) {
        // No thread, so no report will ever come: say so to the caller.
        mStartPending.store(false);
        return -1;
    }
    return 0;
}

int MicController::stop() {
    int state = mState.load();
    if (state != StateConnecting && state != StateConnected)
        return -1;
    launch(StopThreadProc, true, nullptr);
    return 0;
}

int MicController::getState() {
    return mState.load();
}

void MicController::onAbort(int error) {
    mAbortError.store(error);
    mPendingAborts.fetch_add(1);
    if (!launch(AbortThreadProc, true, nullptr))
        mPendingAborts.fetch_sub(1);
}

void MicController::notifyStateChange(int state, int error) {
    mState.store(state);
    if (mCallback)
        mCallback->notifyStateChange(state, error);
}

void MicController::startInternal() {
    notifyStateChange(StateConnecting, ErrorNone);
    mStartPending.store(false);
    // When both workers of the last session aborted, the second abort thread
    // may still be on its way to the mutex: let it find this session in state
    // 1 (and do nothing) rather than in state 2, which it would end.
    while (mPendingAborts.load() > 0)
        usleep(1000);

    mRemoteDevice = new RemoteDevice();
    mRemoteDevice->setSessionState(&mState);
    int result = mRemoteDevice->setUp();
    if (result == 0) {
        mMicDevice.open(); // without a virtual microphone the session goes on
        int rateCode = (unsigned char)mMicDevice.getDriverVersion() > 2 ? 2 : 1;
        result = startStreaming(rateCode);
    }
    if (result != 0) {
        clear();
        notifyStateChange(StateIdle, result);
        return;
    }

    mAudioPlayer = new AudioPlayer(mSampleRate, kFramePeriodMs);
    mAudioPlayer->open(); // a speaker that cannot start is not a session error

    mMutex.Lock();
    notifyStateChange(StateConnected, ErrorNone);
    mPlayoutQueue.open(mFrameSamples);
    delete[] mPlayBuffer;
    mPlayBuffer = new short[mFrameSamples]();
    mHoldTicks = kHoldTicks;
    mNextSequence = 0;
    mLateDrops.store(0, std::memory_order_relaxed);
    mRepeats.store(0, std::memory_order_relaxed);
    mPollThreadValid = launch(PollThreadProc, false, &mPollThread);
    mPumpThreadValid = launch(PumpThreadProc, false, &mPumpThread);
    bool workersRunning = mPollThreadValid && mPumpThreadValid;
    mMutex.Unlock();
    if (!workersRunning) {
        // Without both workers the session cannot stream: end it as a broken link.
        onAbort(ErrorNoFrames);
        return;
    }

    while (mPlayoutQueue.getCount() < kPrefillFrames && mState.load() == StateConnected)
        usleep(1000);

    MutexLocker lock(mMutex);
    if (mState.load() == StateConnected)
        mTimer.start(this, 0, kFramePeriodMs);
}

int MicController::startStreaming(int rateCode) {
    int serverVersion = 0;
    int result = mRemoteDevice->checkServerProtocolVersion(&serverVersion);
    if (result != 0)
        return result == 10 ? ErrorMismatch : ErrorVersion;
    if (mRemoteDevice->setCodecParameters(2, rateCode) != 0)
        return ErrorMismatch;
    mSampleRate = rateCode == 1 ? 16000 : 48000;
    mChannels = 1;
    mFrameSamples = mSampleRate * kFramePeriodMs / 1000;
    if (mRemoteDevice->start() != 0)
        return ErrorStartMic;
    return ErrorNone;
}

void MicController::endSession(int transientState, bool aborting) {
    MutexLocker lock(mMutex);
    if (mState.load() != StateConnected)
        return; // a stop or an earlier abort ended the session already
    notifyStateChange(transientState, ErrorNone);
    mTimer.stop();
    if (mPollThreadValid) {
        errno = pthread_join(mPollThread, nullptr);
        mPollThreadValid = false;
    }
    if (mPumpThreadValid) {
        errno = pthread_join(mPumpThread, nullptr);
        mPumpThreadValid = false;
    }
    clear();
    notifyStateChange(StateIdle, aborting ? mAbortError.load() : ErrorNone);
}

void MicController::stopInternal() {
    endSession(StateDisconnecting, false);
}

void MicController::abortInternal() {
    endSession(StateAborting, true);
}

void MicController::clear() {
    if (mRemoteDevice) {
        mRemoteDevice->tearDown();
        delete mRemoteDevice;
        mRemoteDevice = nullptr;
    }
    if (mAudioPlayer) {
        mAudioPlayer->close();
        delete mAudioPlayer;
        mAudioPlayer = nullptr;
    }
    mMicDevice.close();
    mLevelPeak.store(0, std::memory_order_relaxed);
}

void MicController::pumpInternal() {
    OpusVoiceDecoder* decoder = new OpusVoiceDecoder(mSampleRate, mChannels);
    bool decoderOpen = decoder->open() == 0;
    int64_t lastStored = getCurrentTimeInMS();
    mStatistics->startTime = lastStored;
    bool stored = false;
    PlayoutPacket packet;

    if (!decoderOpen && mState.load() == StateConnected)
        onAbort(ErrorNoFrames); // nothing could ever be decoded: end as a broken link
    while (decoderOpen && mState.load() == StateConnected) {
        if (getFrame(decoder, &packet) != 0) {
            // A stop during the fetch also lands here; the session is ending
            // already and needs no abort.
            if (mState.load() == StateConnected)
                onAbort(stored ? ErrorAborted : ErrorNoFrames);
            break;
        }
        int refused = 0;
        while (!mPlayoutQueue.put(&packet)) {
            usleep(1000);
            if (++refused == 3)
                break;
        }
        if (refused == 3) {
            mStatistics->fullDropCount++;
            continue;
        }
        mStatistics->rxCount++;
        int64_t now = getCurrentTimeInMS();
        int64_t gap = now - lastStored - refused;
        if (gap > mStatistics->maxDelta)
            mStatistics->maxDelta = gap > INT_MAX ? INT_MAX : (int32_t)gap;
        stored = true;
        lastStored = now;
    }

    mStatistics->endTime = getCurrentTimeInMS();
    decoder->close();
    delete decoder;
}

int MicController::getFrame(VoiceDecoder* decoder, PlayoutPacket* packet) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (mState.load() != StateConnected)
            return -1;
        int result =
            mRemoteDevice->getFrame(decoder, packet->samples, mFrameSamples, &packet->sequence);
        if (result != -1)
            return result;
    }
    return -1;
}

void MicController::pollInternal() {
    while (mState.load() == StateConnected) {
        if (mRemoteDevice->poll() != 0) {
            onAbort(ErrorAborted);
            return;
        }
        // One keep-alive per second, but notice the end of the session within
        // a tenth of it so a stop does not wait on this thread.
        for (int slice = 0; slice < 10 && mState.load() == StateConnected; ++slice)
            usleep(100000);
    }
}

// The playout tick. A fresh frame is played once and then held for up to four
// empty ticks, so short gaps are bridged; from the fifth empty tick on the
// buffer is silent. Frames older than the next expected sequence are counted
// as late; when only late frames are queued the last of them is still played,
// without moving mNextSequence.
void MicController::onTimerEvent() {
    if (mState.load() != StateConnected)
        return;
    PlayoutPacket packet;
    bool taken = false;
    bool fresh = false;
    while (mPlayoutQueue.get(&packet)) {
        taken = true;
        if (packet.sequence >= mNextSequence) {
            fresh = true;
            break;
        }
        mStatistics->oldDropCount++;
        mLateDrops.fetch_add(1, std::memory_order_relaxed);
    }
    if (!taken && mHoldTicks > 0)
        mRepeats.fetch_add(1, std::memory_order_relaxed);
    if (taken) {
        mHoldTicks = kHoldTicks;
        memcpy(mPlayBuffer, packet.samples, sizeof(short) * (size_t)mFrameSamples);
        if (fresh)
            mNextSequence = packet.sequence + 1;
    }
    playInternal(mPlayBuffer);
    if (mHoldTicks > INT_MIN && --mHoldTicks == 0)
        memset(mPlayBuffer, 0, sizeof(short) * (size_t)mFrameSamples);
}

void MicController::playInternal(short* samples) {
    mMicDevice.write(samples, mFrameSamples);
    int peak = 0;
    for (int i = 0; i < mFrameSamples; ++i) {
        int magnitude = samples[i] < 0 ? -samples[i] : samples[i];
        peak = magnitude > peak ? magnitude : peak;
    }
    mLevelPeak.store(peak, std::memory_order_relaxed);
    if (Settings::isPlayLocally() && mAudioPlayer)
        mAudioPlayer->play(samples, (unsigned int)mFrameSamples);
}

void MicController::StartThreadProc(void* controller) {
    nameThread("vx-start");
    MicController* self = static_cast<MicController*>(controller);
    self->startInternal();
    self->mDetachedThreads.fetch_sub(1);
}

void MicController::StopThreadProc(void* controller) {
    nameThread("vx-stop");
    MicController* self = static_cast<MicController*>(controller);
    self->stopInternal();
    self->mDetachedThreads.fetch_sub(1);
}

void MicController::AbortThreadProc(void* controller) {
    nameThread("vx-abort");
    MicController* self = static_cast<MicController*>(controller);
    self->abortInternal();
    self->mPendingAborts.fetch_sub(1);
    self->mDetachedThreads.fetch_sub(1);
}

void MicController::PollThreadProc(void* controller) {
    nameThread("vx-poll");
    static_cast<MicController*>(controller)->pollInternal();
}

void MicController::PumpThreadProc(void* controller) {
    nameThread("vx-pump");
    static_cast<MicController*>(controller)->pumpInternal();
}
