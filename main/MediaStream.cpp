#include "MediaStream.h"

#include "SystenInfo.h"
#include "vx_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

WifiMediaStream::WifiMediaStream(int port) : mSocket(-1), mPort(port), mBuffer{}, mDataLen(0) {}

WifiMediaStream::~WifiMediaStream() {}

int WifiMediaStream::open() {
    mSocket = vx_socket_inaddr_any_server(mPort, SOCK_DGRAM);
    if (mSocket == -1)
        return -1;
    // The wake pipe lets teardown end a receive wait at once.
    if (pipe(mWake) != 0) {
        vx_socket_close(mSocket);
        mSocket = -1;
        return -1;
    }
    for (int fd : mWake) {
        (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
        (void)fcntl(fd, F_SETFL, O_NONBLOCK); // a full pipe never blocks interrupt()
    }
    // Room for bursts after a stall on the pump thread; failing to get it is
    // not worth failing the session for.
    int size = 0;
    socklen_t sizeLen = sizeof size;
    if (getsockopt(mSocket, SOL_SOCKET, SO_RCVBUF, &size, &sizeLen) == 0 &&
        size < kMinReceiveBuffer) {
        size = kMinReceiveBuffer;
        (void)setsockopt(mSocket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    mDataLen = 0;
    return 0;
}

int WifiMediaStream::close() {
    if (mSocket == -1)
        return -1;
    vx_socket_close(mSocket);
    mSocket = -1;
    ::close(mWake[0]);
    ::close(mWake[1]);
    mWake[0] = mWake[1] = -1;
    return 0;
}

void WifiMediaStream::interrupt() {
    // The byte is never read back: every later wait ends at once too.
    if (mWake[1] != -1)
        (void)!::write(mWake[1], "", 1);
}

// One datagram is one voice frame, read in pieces until the buffer is empty;
// only then does a read wait for the next datagram. A datagram too short for
// the read that awaits it is dropped whole: joining it to the next one would
// spoil that one too.
int WifiMediaStream::readData(unsigned char* dst, int n) {
    if (n < 0 || n > kBufferSize)
        throw(StreamFault) FaultFraming;

    if (mDataLen == 0 && n > 0) {
        if (mSocket == -1)
            throw(StreamFault) FaultReceive;
        // One deadline per awaited datagram: datagrams from other hosts and
        // empty ones are dropped without granting the wait more time.
        int64_t deadline = getCurrentTimeInMS() + kWaitMs;
        for (;;) {
            int64_t left = deadline - getCurrentTimeInMS();
            // Teardown wakes the wait; so does a program that is quitting.
            struct pollfd p[3] = {
                {mSocket, POLLIN, 0}, {mWake[0], POLLIN, 0}, {vx_socket_abandon_fd(), POLLIN, 0}};
            int r = ::poll(p, p[2].fd >= 0 ? 3 : 2, left > 0 ? (int)left : 0);
            if (r == -1 && errno == EINTR)
                continue;
            if (r > 0 && p[1].revents != 0)
                throw(StreamFault) FaultReceive; // torn down: the stream is closing
            if (r <= 0 || p[0].revents == 0 || p[2].revents != 0)
                throw(StreamFault) FaultTimeout;

            struct sockaddr_storage from;
            socklen_t fromLen = sizeof from;
            ssize_t got = recvfrom(mSocket, mBuffer, (size_t)kBufferSize, 0,
                                   (struct sockaddr*)&from, &fromLen);
            if (got == -1 && errno == EINTR)
                continue;
            if (got < 0)
                throw(StreamFault) FaultReceive;
            if (mFilterSender && (fromLen == 0 || !vx_sockaddr_same_host(
                                                      &mAllowedSender, (struct sockaddr*)&from))) {
                continue;
            }
            if (got == 0)
                continue;
            if (got < n)
                throw(StreamFault) FaultFraming; // a runt: nothing of it stays buffered
            mDataLen = (int)got;
            break;
        }
    } else if (mDataLen < n) {
        // The rest of this datagram cannot satisfy the read: drop it.
        mDataLen = 0;
        throw(StreamFault) FaultFraming;
    }

    if (n > 0) {
        memcpy(dst, mBuffer, (size_t)n);
        mDataLen -= n;
        memmove(mBuffer, mBuffer + n, (size_t)mDataLen);
    }
    return n;
}

void WifiMediaStream::skip() {
    mDataLen = 0;
}

bool WifiMediaStream::isStreamNormal(int len) {
    return mDataLen == len;
}

void WifiMediaStream::setAllowedSender(const sockaddr_storage& host) {
    mAllowedSender = host;
    mFilterSender = true;
}

int WifiMediaStream::getBoundPort() const {
    if (mSocket == -1)
        return -1;
    struct sockaddr_storage a;
    socklen_t len = sizeof a;
    if (getsockname(mSocket, (struct sockaddr*)&a, &len) != 0)
        return -1;
    if (a.ss_family == AF_INET6)
        return ntohs(((struct sockaddr_in6*)&a)->sin6_port);
    if (a.ss_family == AF_INET)
        return ntohs(((struct sockaddr_in*)&a)->sin_port);
    return -1;
}
