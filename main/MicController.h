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
#pragma once

#include "AudioPlayer.h"
#include "HighResolutionTimer.h"
#include "MicDevice.h"
#include "Mutex.h"
#include "PlayerCallback.h"
#include "PlayoutQueue.h"
#include "SessionError.h"
#include "Statistics.h"
#include "TimerListener.h"

#include <atomic>
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

    // What a front end shows while a session streams; any thread, lock-free.
    // The peak of the frame last written to the virtual microphone (0..32768,
    // 0 outside a session), the frames queued, and the session's frames
    // dropped as late and ticks that repeated the last frame.
    int getLevelPeak() const { return mLevelPeak.load(std::memory_order_relaxed); }
    int getQueuedFrames() { return mPlayoutQueue.getCount(); }
    int getLateDrops() const { return mLateDrops.load(std::memory_order_relaxed); }
    int getRepeats() const { return mRepeats.load(std::memory_order_relaxed); }

    void onTimerEvent() override;

    // Used by the controller's own threads.
    void onAbort(int error);
    void notifyStateChange(int state, int error);
    void startInternal();
    int startStreaming(int rateCode);
    void stopInternal();
    void abortInternal();
    void clear();
    void pumpInternal();
    int getFrame(VoiceDecoder* decoder, PlayoutPacket* packet);
    void pollInternal();
    void playInternal(short* samples);

    static void StartThreadProc(void* controller);
    static void StopThreadProc(void* controller);
    static void AbortThreadProc(void* controller);
    static void PollThreadProc(void* controller);
    static void PumpThreadProc(void* controller);

    // Prefill: frames queued before the playout clock starts.
    static constexpr int kPrefillFrames = 3;
    static constexpr int kHoldTicks = 5;
    static constexpr int kFramePeriodMs = 20;

  private:
    friend class MicControllerProbe; // unit tests drive the playout tick directly

    bool launch(void (*proc)(void*), bool detached, pthread_t* handle);
    void endSession(int transientState, bool aborting);

    PlayerCallback* mCallback;
    PlayoutQueue mPlayoutQueue;
    uint32_t mNextSequence;      // ticking thread while the timer runs
    RemoteDevice* mRemoteDevice; // start thread, then stop/abort thread; null outside a session
    AudioPlayer* mAudioPlayer;   // the same; ticking thread uses it while the timer runs
    MicDevice mMicDevice;
    std::atomic<int> mState; // every thread reads it lock-free as its loop condition
    Mutex mMutex;
    HighResolutionTimer mTimer;
    pthread_t mPollThread;
    pthread_t mPumpThread;
    std::atomic<int> mAbortError; // written by pump/poll in onAbort, read by the abort thread
    Statistics* mStatistics;
    int mSampleRate;
    int mChannels;
    int mFrameSamples;
    short* mPlayBuffer; // ticking thread while the timer runs
    int mHoldTicks;     // ticking thread while the timer runs

    // Also: whether the worker handles are live (a
    // thread whose creation failed is never joined), and how many detached
    // threads still run (the destructor waits for them).
    bool mPollThreadValid = false;
    bool mPumpThreadValid = false;
    std::atomic<int> mDetachedThreads{0};
    std::atomic<bool> mStartPending{false}; // start() accepted, state 1 not yet reported
    std::atomic<int> mPendingAborts{0};     // abort threads launched and not yet finished
    // Published by the ticking thread for the displays (relaxed: each is a
    // value on its own); reset by the start thread before the timer runs.
    std::atomic<int> mLevelPeak{0};
    std::atomic<int> mLateDrops{0};
    std::atomic<int> mRepeats{0};
};
