// The control connection to the phone: a byte stream with big-endian fields.
// Every read and write delivers exactly the bytes asked for or throws a
// StreamFault.
#pragma once

#include "StreamFault.h"

struct sockaddr_storage;

class ControlStream {
  public:
    virtual ~ControlStream() {}
    virtual int open() = 0; // 0, or a negative SessionError
    virtual void close() = 0;
    virtual void read(unsigned char* buf, int len) = 0;
    virtual void write(unsigned char* buf, int len) = 0;

    unsigned char read1();
    unsigned short read2(); // first byte is the high byte
    unsigned int read4();   // first byte is the most significant
    void skip(int n);       // reads and drops n bytes; nothing when n <= 0
    void write1(unsigned char v);
    void write2(unsigned short v);
    void write4(unsigned int v);
};

// TCP implementation. Used by one thread at a time: the start thread for the
// start-up exchange, then only the poll thread.
class WinSockStream : public ControlStream {
  public:
    static constexpr int kReadTimeoutMs = 5000;
    // A phone that never answers the connection ends the session after this.
    static constexpr int kConnectTimeoutS = 10;

    // `host` is not copied: it must stay valid until open() has returned.
    WinSockStream(char* host, int port);
    ~WinSockStream() override;
    int open() override; // 0, or -5 when the connection cannot be made
    void close() override;
    void read(unsigned char* buf, int len) override;
    void write(unsigned char* buf, int len) override;

    // The phone's host as seen on the connection; -1 when not connected.
    int getPeerHost(sockaddr_storage* host) const;

  private:
    int mSocket; // -1 when no connection is open
    char* mHost;
    int mPort;
};
