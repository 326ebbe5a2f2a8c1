// Small shared pieces of the tests: loopback sockets, voice frames, the tone
// estimator.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <opus.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <set>
#include <stdexcept>
#include <vector>

namespace kit {

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

// A socket bound to ip:port (0: any free port); listening when a stream.
inline int boundSocket(int type, const char* ip = "127.0.0.1", int port = 0) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a = ipv4(ip, port);
    if (fd < 0 || bind(fd, (sockaddr*)&a, sizeof a) != 0)
        throw std::runtime_error("bind failed");
    if (type == SOCK_STREAM)
        listen(fd, 4);
    return fd;
}

inline int localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr*)&a, &len);
    return ntohs(a.sin_port);
}

inline bool readable(int fd, int timeoutMs) {
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

inline void sendAll(int fd, const Bytes& b) {
    if (send(fd, b.data(), b.size(), MSG_NOSIGNAL) != (ssize_t)b.size())
        throw std::runtime_error("send failed");
}

inline void sendDatagram(int fd, int port, const Bytes& b) {
    sockaddr_in to = ipv4("127.0.0.1", port);
    sendto(fd, b.data(), b.size(), 0, (sockaddr*)&to, sizeof to);
}

inline std::set<int> openFds() {
    std::set<int> fds;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            fds.insert(atoi(e->d_name));
    fds.erase(dirfd(d));
    closedir(d);
    return fds;
}

// `count` samples of a sine at -12 dBFS.
inline std::vector<int16_t> sine(double hz, int rate, int count) {
    std::vector<int16_t> pcm((size_t)count);
    for (int i = 0; i < count; ++i)
        pcm[(size_t)i] =
            (int16_t)std::lround(8000 * std::sin(2 * std::numbers::pi * hz * i / rate));
    return pcm;
}

// One Opus packet of `pcm`; with cbrBytes > 0 the packet is exactly that long.
inline Bytes opusPacket(int rate, const std::vector<int16_t>& pcm, int cbrBytes = 0) {
    int err = 0;
    OpusEncoder* enc = opus_encoder_create(rate, 1, OPUS_APPLICATION_AUDIO, &err);
    if (cbrBytes > 0) {
        opus_encoder_ctl(enc, OPUS_SET_VBR(0));
        opus_encoder_ctl(enc, OPUS_SET_BITRATE(cbrBytes * 8 * rate / (int)pcm.size()));
    }
    Bytes out(1500);
    int n = opus_encode(enc, pcm.data(), (int)pcm.size(), out.data(), (opus_int32)out.size());
    opus_encoder_destroy(enc);
    out.resize(n > 0 ? (size_t)n : 0);
    return out;
}

inline Bytes opusPacket(int rate, int samples) {
    return opusPacket(rate, sine(440, rate, samples));
}

// A voice frame: u32 sequence, u16 length (payload size + lengthDelta), payload.
inline Bytes voiceFrame(uint32_t seq, const Bytes& payload, int lengthDelta = 0) {
    unsigned len = (unsigned)((int)payload.size() + lengthDelta);
    Bytes b = {(unsigned char)(seq >> 24), (unsigned char)(seq >> 16), (unsigned char)(seq >> 8),
               (unsigned char)seq,         (unsigned char)(len >> 8),  (unsigned char)len};
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// Frequency from the rising zero crossings between the first and the last.
inline double estimateFrequency(const std::vector<int16_t>& s, int rate) {
    long first = -1, last = -1, crossings = 0;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            crossings += first >= 0;
            first = first < 0 ? (long)i : first;
            last = (long)i;
        }
    }
    return crossings == 0 ? 0.0 : crossings * (double)rate / (double)(last - first);
}

inline double rmsDbfs(const std::vector<int16_t>& s) {
    double sum = 0;
    for (int16_t v : s)
        sum += (double)v * v;
    return 20.0 * std::log10(std::sqrt(sum / (double)s.size()) / 32768.0);
}

inline bool allZero(const std::vector<int16_t>& s) {
    return std::all_of(s.begin(), s.end(), [](int16_t v) { return v == 0; });
}

} // namespace kit
