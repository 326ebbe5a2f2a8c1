#include "MediaStream.h"

#include "vx_socket.h"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

namespace {

int64_t monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

WifiMediaStream::WifiMediaStream(int port) : mSocket(-1), mPort(port), mBuffer{}, mDataLen(0) {}

WifiMediaStream::~WifiMediaStream() {}

int WifiMediaStream::open() {
    mSocket = vx_socket_inaddr_any_server(mPort, SOCK_DGRAM);
    if (mSocket == -1)
        return -1;
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
    return 0;
}

// One datagram is one voice frame. The buffer holds what is left of the current
// datagram; a read never spans into the next one unless the current one was
// too short, in which case the next datagram is appended behind it.
int WifiMediaStream::readData(unsigned char* dst, int n) {
    if (n < 0 || n > kBufferSize)
        throw(StreamFault) FaultFraming;

    if (mDataLen == 0 && n > 0) {
        if (mSocket == -1)
            throw(StreamFault) FaultReceive;
        // One deadline per awaited datagram: datagrams from other hosts are
        // dropped without granting the wait more time.
        int64_t deadline = monotonicMs() + kWaitMs;
        while (mDataLen < n) {
            int64_t left = deadline - monotonicMs();
            // A program that is quitting ends the wait at once.
            struct pollfd p[2] = {{mSocket, POLLIN, 0}, {vx_socket_abandon_fd(), POLLIN, 0}};
            int r = ::poll(p, p[1].fd >= 0 ? 2 : 1, left > 0 ? (int)left : 0);
            if (r == -1 && errno == EINTR)
                continue;
            if (r <= 0 || p[0].revents == 0 || p[1].revents != 0)
                throw(StreamFault) FaultTimeout; // bytes received so far stay buffered

            struct sockaddr_storage from;
            socklen_t fromLen = sizeof from;
            ssize_t got = recvfrom(mSocket, mBuffer + mDataLen, (size_t)(kBufferSize - mDataLen), 0,
                                   (struct sockaddr*)&from, &fromLen);
            if (got == -1 && errno == EINTR)
                continue;
            if (got < 0)
                throw(StreamFault) FaultReceive;
            if (mFilterSender && (fromLen == 0 || !vx_sockaddr_same_host(
                                                      &mAllowedSender, (struct sockaddr*)&from))) {
                continue;
            }
            mDataLen += (int)got;
            deadline = monotonicMs() + kWaitMs;
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
