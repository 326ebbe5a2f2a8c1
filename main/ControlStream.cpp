#include "ControlStream.h"

#include "SessionError.h"
#include "Utils.h"
#include "vx_socket.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/time.h>

// Each field is one read or write of its full width, so a field either
// arrives whole or the call throws.

unsigned char ControlStream::read1() {
    unsigned char b[1];
    read(b, 1);
    return b[0];
}

unsigned short ControlStream::read2() {
    unsigned char b[2];
    read(b, 2);
    return readBe16(b);
}

unsigned int ControlStream::read4() {
    unsigned char b[4];
    read(b, 4);
    return readBe32(b);
}

void ControlStream::skip(int n) {
    // Dropped bytes go through a small fixed buffer: no length from the wire
    // decides how much memory is taken.
    unsigned char b[256];
    while (n > 0) {
        int chunk = n < (int)sizeof b ? n : (int)sizeof b;
        read(b, chunk);
        n -= chunk;
    }
}

void ControlStream::write1(unsigned char v) {
    unsigned char b[1] = {v};
    write(b, 1);
}

void ControlStream::write2(unsigned short v) {
    unsigned char b[2] = {(unsigned char)(v >> 8), (unsigned char)v};
    write(b, 2);
}

void ControlStream::write4(unsigned int v) {
    unsigned char b[4];
    writeBe32(b, v);
    write(b, 4);
}

WinSockStream::WinSockStream(char* host, int port) : mSocket(-1), mHost(host), mPort(port) {}

WinSockStream::~WinSockStream() {
    close();
}

int WinSockStream::open() {
    close();
    int gaiError = 0;
    mSocket = socket_network_client_timeout(mHost, mPort, SOCK_STREAM, kConnectTimeoutS, &gaiError);
    if (mSocket == -1)
        return ErrorConnect;
    // A phone that stops reading must not block a send (and so the
    // keep-alive thread, and the stop that joins it) forever: a send that
    // cannot go out within the read limit fails like any other.
    struct timeval limit = {kReadTimeoutMs / 1000, 0};
    setsockopt(mSocket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return 0;
}

void WinSockStream::close() {
    if (mSocket != -1) {
        vx_socket_close(mSocket);
        mSocket = -1;
    }
}

void WinSockStream::read(unsigned char* buf, int len) {
    int wanted = len;
    while (wanted > 0) {
        if (mSocket == -1)
            throw(StreamFault) FaultReceive;
        // Each piece gets the full wait again.
        int got = vx_sock_read_timeout(buf + (len - wanted), wanted, mSocket, kReadTimeoutMs);
        if (got == 0)
            throw(StreamFault) FaultTimeout;
        if (got < 0)
            throw(StreamFault) FaultReceive;
        wanted -= got;
    }
}

void WinSockStream::write(unsigned char* buf, int len) {
    int left = len;
    while (left > 0) {
        if (mSocket == -1)
            throw(StreamFault) FaultSend;
        // MSG_NOSIGNAL: a peer that went away makes this send fail with EPIPE
        // instead of ending the process with SIGPIPE.
        ssize_t sent = send(mSocket, buf + (len - left), (size_t)left, MSG_NOSIGNAL);
        if (sent == -1 && errno == EINTR)
            continue;
        if (sent < 0) {
            close();
            throw(StreamFault) FaultSend;
        }
        left -= (int)sent;
    }
}

int WinSockStream::getPeerHost(sockaddr_storage* host) const {
    if (mSocket == -1)
        return -1;
    return vx_socket_peer_host(mSocket, host);
}
