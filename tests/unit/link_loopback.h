// Loopback helpers for the phone-link tests: a scripted TCP peer, UDP senders
// bound to a chosen 127.x address, and Opus voice frames.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <opus.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <numbers>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace linktest {

using Bytes = std::vector<unsigned char>;

// The StreamFault that f() throws, or -1 when it returns normally.
template <class F> int faultOf(F f) {
    try {
        f();
    } catch (int fault) {
        return fault;
    }
    return -1;
}

inline sockaddr_in ipv4(const char* ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

inline int boundSocket(int type, const char* ip, int port = 0) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a = ipv4(ip, port);
    if (fd < 0 || bind(fd, (sockaddr*)&a, sizeof a) != 0)
        throw std::runtime_error("bind failed");
    return fd;
}

inline int localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr*)&a, &len);
    return ntohs(a.sin_port);
}

// A TCP listener on 127.0.0.1 at a free port.
inline int tcpListener(int* port) {
    int fd = boundSocket(SOCK_STREAM, "127.0.0.1");
    listen(fd, 4);
    *port = localPort(fd);
    return fd;
}

// A UDP port that is free right now.
inline int freeUdpPort() {
    int fd = boundSocket(SOCK_DGRAM, "127.0.0.1");
    int port = localPort(fd);
    close(fd);
    return port;
}

inline bool readable(int fd, int timeoutMs) {
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

inline void sendAll(int fd, const Bytes& b) {
    if (send(fd, b.data(), b.size(), MSG_NOSIGNAL) != (ssize_t)b.size())
        throw std::runtime_error("send failed");
}

// Up to n bytes, waiting at most timeoutMs for each piece.
inline Bytes recvBytes(int fd, size_t n, int timeoutMs = 2000) {
    Bytes out(n);
    size_t got = 0;
    while (got < n && readable(fd, timeoutMs)) {
        ssize_t r = recv(fd, out.data() + got, n - got, 0);
        if (r <= 0)
            break;
        got += (size_t)r;
    }
    out.resize(got);
    return out;
}

inline void sendDatagram(int fd, int port, const Bytes& b) {
    sockaddr_in to = ipv4("127.0.0.1", port);
    if (sendto(fd, b.data(), b.size(), 0, (sockaddr*)&to, sizeof to) != (ssize_t)b.size())
        throw std::runtime_error("sendto failed");
}

inline std::set<int> openFds() {
    std::set<int> fds;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.')
            fds.insert(atoi(e->d_name));
    }
    int own = dirfd(d);
    closedir(d);
    fds.erase(own);
    return fds;
}

// One Opus packet of `samples` mono samples of a tone; with cbrBytes > 0 the
// packet is exactly that long.
inline Bytes opusPacket(int rate, int samples, int cbrBytes = 0) {
    int err = 0;
    OpusEncoder* enc = opus_encoder_create(rate, 1, OPUS_APPLICATION_AUDIO, &err);
    if (cbrBytes > 0) {
        opus_encoder_ctl(enc, OPUS_SET_VBR(0));
        opus_encoder_ctl(enc, OPUS_SET_BITRATE(cbrBytes * 8 * rate / samples));
    }
    std::vector<opus_int16> pcm(samples);
    for (int i = 0; i < samples; ++i)
        pcm[i] = (opus_int16)(8000 * std::sin(2 * std::numbers::pi * 440.0 * i / rate));
    Bytes out(1500);
    int n = opus_encode(enc, pcm.data(), samples, out.data(), (opus_int32)out.size());
    opus_encoder_destroy(enc);
    if (n < 0)
        throw std::runtime_error("opus_encode failed");
    out.resize(n);
    return out;
}

// A voice frame: u32 sequence, u16 length (payload size + lengthDelta), payload.
inline Bytes voiceFrame(unsigned int seq, const Bytes& payload, int lengthDelta = 0) {
    unsigned len = (unsigned)((int)payload.size() + lengthDelta);
    Bytes b = {(unsigned char)(seq >> 24), (unsigned char)(seq >> 16), (unsigned char)(seq >> 8),
               (unsigned char)seq,         (unsigned char)(len >> 8),  (unsigned char)len};
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

} // namespace linktest
