// A drift-free periodic timer: one thread calls the listener on absolute
// deadlines of the Mach absolute clock, start + k x period, so the time a tick
// takes never shifts the grid. An overrun is caught up by ticks run back to back.
#pragma once

#include "TimerListener.h"

#include <atomic>
#include <pthread.h>

class HighResolutionTimer {
  public:
    HighResolutionTimer();
    ~HighResolutionTimer(); // stops and joins a running ticking thread

    // Calls listener->onTimerEvent() every `period` ms, the first tick at once.
    // `unused` carries nothing. Returns true; when the thread cannot be created
    // the timer does not count as running. Call only on a stopped timer.
    bool start(TimerListener* listener, int unused, int period);
    // Ends and joins the ticking thread; nothing when not running. Never call it
    // from onTimerEvent (the thread would wait for itself).
    void stop();
    bool isRunning() const { return mRunning.load(); }

    static void* TickingThreadProc(void* timer);
    void run();

  private:
    // Written by the thread that starts and stops the timer, read by the ticking
    // thread after every wait.
    std::atomic<bool> mRunning;
    pthread_t mThread;        // start()/stop() caller only
    TimerListener* mListener; // set before the thread starts; read by it
    int mPeriod;              // ms; set before the thread starts
};
