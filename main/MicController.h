// One streaming session at a time, from Connect to the end of the stream.
//
// Threads (all launched through vx_pthread_wrapper):
//   start  (detached)  startInternal: connect, exchange, prefill wait, timer start
//   stop   (detached)  stopInternal: state 3, timer stop, joins, clear, state 0
//   abort  (detached)  abortInternal: the same with state 4 and the abort error
//   poll   (joinable)  pollInternal: one keep-alive per second while state is 2
//   pump   (joinable)  pumpInternal: receive, decode, queue while state is 2
//   ticking (the timer's) onTimerEvent: the 20 ms playout tick
// mMutex serialises the stop and abort sequences (and the timer start against
// them); workers never take it, so joining them under it cannot deadlock.
// mWaitLock is a leaf lock, held only for a predicate test or a notify and
// never while another is taken; it guards nothing but the wake-ups of mWakeUp: state changes, the
// end of a detached thread and the end of the prefill are announced under it, so no waiter misses
// one. Each start() opens a new session number; a stop or abort carries the number of the session
// it was issued for and does nothing to a later one.
#pragma once

#include "AudioPlayer.h"
#include "HighResolutionTimer.h"
#include "MicDevice.h"
#include "Mutex.h"
#include "PlayerCallback.h"
#include "PlayoutQueue.h"
#include "PlayoutTick.h"
#include "SessionError.h"
#include "Statistics.h"
#include "TimerListener.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <stdint.h>

class RemoteDevice;
class VoiceDecoder;

// Heap record handed to a new thread; released by vx_pthread_wrapper.
struct ThreadEntry {
    void (*func)(void*);
    void* arg;
};

void* vx_pthread_wrapper(void* entry);

class MicController : public TimerListener {
  public:
    explicit MicController(PlayerCallback* callback);
    ~MicController() override;
    MicController(const MicController&) = delete;
    MicController& operator=(const MicController&) = delete;

    int start(); // 0 launched, -1 refused (state not 0)
    int stop();  // 0 launched, -1 refused (state not 1 or 2)
    int getState();
    uint32_t getSession() const { return mSession.load(); } // number of the latest start()

    // What a front end shows while a session streams; any thread, lock-free.
    // The peak of the frame last written to the virtual microphone (0..32768,
    // 0 outside a session), the frames queued, and the session's frames
    // dropped as late and ticks that repeated the last frame.
    int getLevelPeak() const { return mLevelPeak.load(std::memory_order_relaxed); }
    int getQueuedFrames() { return mPlayoutQueue.getCount(); }
    int getLateDrops() const { return mTick.lateDrops(); }
    int getRepeats() const { return mTick.repeats(); }

    void onTimerEvent() override;

    // Used by the controller's own threads.
    void onAbort(int error);
    void notifyStateChange(int state, int error);
    void startInternal();
    int startStreaming(int rateCode);
    // Each ends the session numbered `session` if it is still the current,
    // connected one.
    void stopInternal(uint32_t session);
    void abortInternal(uint32_t session, int error);
    void clear();
    void pumpInternal();
    int getFrame(VoiceDecoder* decoder, PlayoutPacket* packet);
    void pollInternal();
    void playInternal(const short* samples);

    static void StartThreadProc(void* controller);
    static void StopThreadProc(void* controller);
    static void AbortThreadProc(void* controller);
    static void PollThreadProc(void* controller);
    static void PumpThreadProc(void* controller);

    static constexpr int kFramePeriodMs = 20;

  private:
    bool launch(void (*proc)(void*), void* arg, bool detached, pthread_t* handle);
    bool launchForSession(void (*proc)(void*), int error);
    void endSession(int transientState, uint32_t session, int error);
    void detachedThreadDone();
    void wakeWaiters();

    PlayerCallback* mCallback;
    PlayoutQueue mPlayoutQueue;
    RemoteDevice* mRemoteDevice; // start thread, then stop/abort thread; null outside a session
    AudioPlayer* mAudioPlayer;   // the same; ticking thread uses it while the timer runs
    MicDevice mMicDevice;
    std::atomic<int> mState; // every thread reads it lock-free as its loop condition
    Mutex mMutex;
    HighResolutionTimer mTimer;
    pthread_t mPollThread;
    pthread_t mPumpThread;
    Statistics* mStatistics;
    int mSampleRate;
    int mChannels;
    int mFrameSamples;
    PlayoutTick mTick; // opened by the start thread, then the ticking thread only

    // Also: whether the worker handles are live (a
    // thread whose creation failed is never joined), and how many detached
    // threads still run (the destructor waits for them).
    bool mPollThreadValid = false;
    bool mPumpThreadValid = false;
    std::atomic<int> mDetachedThreads{0};
    std::atomic<bool> mStartPending{false}; // start() accepted, state 1 not yet reported
    std::atomic<uint32_t> mSession{0};      // number of the latest session, set by start()
    std::mutex mWaitLock;                   // see the top of this file
    std::condition_variable mWakeUp;
    // Published by the ticking thread for the displays (relaxed: a value on
    // its own); reset by the start thread before the timer runs.
    std::atomic<int> mLevelPeak{0};
};
