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

#include <chrono>
#include <climits>
#include <errno.h>
#include <string.h>
#include <unistd.h>

namespace {

void nameThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}

// What a stop or abort thread is given: the session it was issued for.
struct SessionTicket {
    MicController* controller;
    uint32_t session;
    int error;
};

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
    : mCallback(callback), mRemoteDevice(nullptr), mAudioPlayer(nullptr), mState(StateIdle),
      mPollThread(), mPumpThread(), mStatistics(Statistics::getInstance()), mSampleRate(0),
      mChannels(0), mFrameSamples(0), mTick(mPlayoutQueue, mStatistics->oldDropCount) {}

MicController::~MicController() {
    // Let a start sequence settle, end a running session as a stop would, and
    // wait until no thread of ours can touch this object any more.
    std::unique_lock<std::mutex> lock(mWaitLock);
    for (;;) {
        if (mState.load() == StateConnected) {
            lock.unlock();
            stopInternal(mSession.load());
            lock.lock();
            continue;
        }
        if (mState.load() == StateIdle && mDetachedThreads.load() == 0)
            break;
        mWakeUp.wait(lock);
    }
    lock.unlock();
    mTimer.stop();
    clear();
}

bool MicController::launch(void (*proc)(void*), void* arg, bool detached, pthread_t* handle) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr,
                                detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    ThreadEntry* entry = new ThreadEntry{proc, arg};
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
    mSession.fetch_add(1);
    if (!launch(StartThreadProc, this, true, nullptr)) {
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
    launchForSession(StopThreadProc, ErrorNone);
    return 0;
}

bool MicController::launchForSession(void (*proc)(void*), int error) {
    SessionTicket* ticket = new SessionTicket{this, mSession.load(), error};
    if (launch(proc, ticket, true, nullptr))
        return true;
    delete ticket;
    return false;
}

void MicController::detachedThreadDone() {
    // Under the lock: once the destructor sees the count reach 0 it may free
    // this object, so nothing of it is touched after the unlock.
    std::lock_guard<std::mutex> lock(mWaitLock);
    mDetachedThreads.fetch_sub(1);
    mWakeUp.notify_all();
}

void MicController::wakeWaiters() {
    std::lock_guard<std::mutex> lock(mWaitLock);
    mWakeUp.notify_all();
}

int MicController::getState() {
    return mState.load();
}

void MicController::onAbort(int error) {
    // Called only by this session's own threads, so the current number is theirs.
    launchForSession(AbortThreadProc, error);
}

void MicController::notifyStateChange(int state, int error) {
    {
        std::lock_guard<std::mutex> lock(mWaitLock);
        mState.store(state);
        mWakeUp.notify_all();
    }
    if (mCallback)
        mCallback->notifyStateChange(state, error);
}

void MicController::startInternal() {
    notifyStateChange(StateConnecting, ErrorNone);
    mStartPending.store(false);

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
    mTick.open(mFrameSamples);
    mLevelPeak.store(0, std::memory_order_relaxed);
    mPollThreadValid = launch(PollThreadProc, this, false, &mPollThread);
    mPumpThreadValid = launch(PumpThreadProc, this, false, &mPumpThread);
    bool workersRunning = mPollThreadValid && mPumpThreadValid;
    mMutex.Unlock();
    if (!workersRunning) {
        // Without both workers the session cannot stream: end it as a broken link.
        onAbort(ErrorNoFrames);
        return;
    }

    {
        // The pump announces the prefill; a state change ends the wait too.
        std::unique_lock<std::mutex> wait(mWaitLock);
        mWakeUp.wait(wait, [this] { return mTick.prefilled() || mState.load() != StateConnected; });
    }

    MutexLocker lock(mMutex);
    if (mState.load() == StateConnected)
        mTimer.start(this, 0, kFramePeriodMs);
}

int MicController::startStreaming(int rateCode) {
    int serverVersion = 0;
    int result = mRemoteDevice->checkServerProtocolVersion(&serverVersion);
    if (result != 0)
        return result == RemoteDevice::kWrongReply ? ErrorMismatch : ErrorVersion;
    if (mRemoteDevice->setCodecParameters(2, rateCode) != 0)
        return ErrorMismatch;
    mSampleRate = rateCode == 1 ? 16000 : 48000;
    mChannels = 1;
    mFrameSamples = mSampleRate * kFramePeriodMs / 1000;
    if (mRemoteDevice->start() != 0)
        return ErrorStartMic;
    return ErrorNone;
}

void MicController::endSession(int transientState, uint32_t session, int error) {
    MutexLocker lock(mMutex);
    if (mSession.load() != session || mState.load() != StateConnected)
        return; // issued for another session, or this one is ending already
    notifyStateChange(transientState, ErrorNone);
    mTimer.stop();
    mRemoteDevice->interrupt(); // the pump may be waiting for a datagram
    if (mPollThreadValid) {
        errno = pthread_join(mPollThread, nullptr);
        mPollThreadValid = false;
    }
    if (mPumpThreadValid) {
        errno = pthread_join(mPumpThread, nullptr);
        mPumpThreadValid = false;
    }
    clear();
    notifyStateChange(StateIdle, error);
}

void MicController::stopInternal(uint32_t session) {
    endSession(StateDisconnecting, session, ErrorNone);
}

void MicController::abortInternal(uint32_t session, int error) {
    endSession(StateAborting, session, error);
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
    bool prefilled = false;
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
        if (!prefilled && mTick.prefilled()) {
            prefilled = true; // once per session: the start thread waits for it
            wakeWaiters();
        }
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
        // One keep-alive per second; the end of the session wakes the wait.
        std::unique_lock<std::mutex> wait(mWaitLock);
        mWakeUp.wait_for(wait, std::chrono::seconds(1),
                         [this] { return mState.load() != StateConnected; });
    }
}

void MicController::onTimerEvent() {
    if (mState.load() != StateConnected)
        return;
    playInternal(mTick.next());
}

void MicController::playInternal(const short* samples) {
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
    self->detachedThreadDone();
}

void MicController::StopThreadProc(void* ticket) {
    nameThread("vx-stop");
    SessionTicket t = *static_cast<SessionTicket*>(ticket);
    delete static_cast<SessionTicket*>(ticket);
    t.controller->stopInternal(t.session);
    t.controller->detachedThreadDone();
}

void MicController::AbortThreadProc(void* ticket) {
    nameThread("vx-abort");
    SessionTicket t = *static_cast<SessionTicket*>(ticket);
    delete static_cast<SessionTicket*>(ticket);
    t.controller->abortInternal(t.session, t.error);
    t.controller->detachedThreadDone();
}

void MicController::PollThreadProc(void* controller) {
    nameThread("vx-poll");
    static_cast<MicController*>(controller)->pollInternal();
}

void MicController::PumpThreadProc(void* controller) {
    nameThread("vx-pump");
    static_cast<MicController*>(controller)->pumpInternal();
}
