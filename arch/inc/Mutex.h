// The one lock type of the system: a plain, non-recursive POSIX mutex.
#pragma once

#include <pthread.h>

class Mutex {
  public:
    // Ends the process with "Failed to initialize mutex!!!" when the mutex
    // cannot be created: nothing can run safely without it.
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock();
    void Unlock();

  private:
    pthread_mutex_t mMutex;
};

// Holds a Mutex for the scope it lives in.
class MutexLocker {
  public:
    explicit MutexLocker(Mutex& mutex) : mMutex(mutex) { mMutex.Lock(); }
    ~MutexLocker() { mMutex.Unlock(); }
    MutexLocker(const MutexLocker&) = delete;
    MutexLocker& operator=(const MutexLocker&) = delete;

  private:
    Mutex& mMutex;
};
