// The voice frames from the phone: one frame per UDP datagram, read field by
// field through a one-datagram buffer, so the datagram boundary is the frame
// boundary.
#pragma once

#include "StreamFault.h"

#include <sys/socket.h>

class MediaStream {
  public:
    virtual ~MediaStream() {}
    // Delivers exactly n bytes of the current datagram or throws a StreamFault.
    virtual int readData(unsigned char* dst, int n) = 0;
    virtual void skip() {}
    virtual bool isStreamNormal(int len) {
        (void)len;
        return true;
    }
    virtual int open() { return 0; }
    virtual int close() { return 0; }
    // Ends a receive wait now and every later one at once; callable from
    // another thread while a read waits (teardown).
    virtual void interrupt() {}
};

// Used by one thread at a time: opened on the start thread, read on the pump
// thread, closed after the pump thread ended. No lock.
class WifiMediaStream : public MediaStream {
  public:
    static constexpr int kBufferSize = 1024;
    static constexpr int kWaitMs = 3000;
    static constexpr int kMinReceiveBuffer = 32768;

    explicit WifiMediaStream(int port);
    ~WifiMediaStream() override; // does not close the socket

    int readData(unsigned char* dst, int n) override;
    void skip() override;
    bool isStreamNormal(int len) override;
    int open() override;  // 0, or -1 when the socket cannot be created or bound
    int close() override; // 0, or -1 when no socket was open
    // A waiting read throws FaultReceive; thread-safe against readData.
    void interrupt() override;

    // Accept datagrams only from this host (any port); others are dropped
    // unseen. Without a call every sender is accepted.
    void setAllowedSender(const sockaddr_storage& host);
    // The bound port (useful when constructed with port 0); -1 when closed.
    int getBoundPort() const;

  private:
    int mSocket; // -1 when no socket is open
    int mPort;
    unsigned char mBuffer[kBufferSize];
    int mDataLen;            // undelivered bytes, always at the front of mBuffer
    int mWake[2] = {-1, -1}; // self-pipe: interrupt() writes, readData polls
    bool mFilterSender = false;
    sockaddr_storage mAllowedSender{};
};
