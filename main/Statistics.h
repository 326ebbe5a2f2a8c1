// Counters of one session's voice stream, printed by print() as a diagnostic.
// No lock: each field has exactly one writing thread (see the comments), and
// print() is consistent only while no session runs.
#pragma once

#include <stdint.h>

class Statistics {
  public:
    int64_t startTime;     // pump: clock (ms) when the pump started
    int64_t endTime;       // pump: clock (ms) when the pump ended
    int32_t rxCount;       // pump: frames stored in the queue
    int32_t maxDelta;      // pump: longest gap between two stored frames, ms
    int32_t oldDropCount;  // ticking thread: frames dropped as late
    int32_t fullDropCount; // pump: frames dropped because the queue was full
    int32_t badFrameCount; // pump: datagrams dropped as malformed or undecodable

    Statistics();
    // The one instance, created on first use (from the controller's
    // constructor, before any engine thread exists) and never deleted.
    static Statistics* getInstance();
    void reset();
    void print();
    void printTime(long t);

  private:
    static Statistics* mInstance;
};
