#pragma once

// Called by HighResolutionTimer once per tick, on the timer's thread.
class TimerListener {
  public:
    virtual ~TimerListener() {}
    virtual void onTimerEvent() = 0;
};
