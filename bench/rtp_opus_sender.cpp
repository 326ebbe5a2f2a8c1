// An RTP/Opus sender for the comparison receiver (an RTP jitter buffer, Opus
// depayloader and decoder into a sound server sink): the same signals as
// voxlet-phone, one 20 ms Opus packet per datagram on an absolute clock.
//
//   rtp_opus_sender PORT SECONDS (--tone HZ | --click-every MS --click-log FILE)
//
// Sends to 127.0.0.1:PORT. The tone is at -6 dBFS; a click is 1 ms at full
// scale at the start of its frame, and its send time goes to the click log as
// 'SEQ MONOTONIC_NS', as voxlet-phone writes it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <opus.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: rtp_opus_sender PORT SECONDS (--tone HZ | --click-every MS "
                             "--click-log FILE)\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const double seconds = std::atof(argv[2]);
    double toneHz = 0;
    int clickEvery = 0;
    FILE* clickLog = nullptr;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--tone")
            toneHz = std::atof(argv[i + 1]);
        else if (opt == "--click-every")
            clickEvery = std::max(1, (std::atoi(argv[i + 1]) + 10) / 20);
        else if (opt == "--click-log")
            clickLog = std::fopen(argv[i + 1], "w");
    }
    if (port <= 0 || port > 65535 || (toneHz <= 0 && clickEvery <= 0)) {
        std::fprintf(stderr, "rtp_opus_sender: bad arguments\n");
        return 2;
    }
    int err = 0;
    OpusEncoder* enc = opus_encoder_create(48000, 1, OPUS_APPLICATION_AUDIO, &err);
    if (err != OPUS_OK)
        return 1;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    unsigned char packet[12 + 1500];
    int16_t pcm[960];
    double phase = 0;
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    const long frames = long(seconds * 50);
    for (long k = 0; k < frames; ++k) {
        bool click = false;
        if (clickEvery > 0) {
            std::memset(pcm, 0, sizeof pcm);
            click = k % clickEvery == 0;
            if (click)
                std::fill(pcm, pcm + 48, int16_t(32767));
        } else {
            for (int16_t& s : pcm) {
                s = int16_t(std::lround(16384 * std::sin(2 * std::numbers::pi * phase)));
                phase += toneHz / 48000;
                if (phase >= 1)
                    phase -= 1;
            }
        }
        const int n = opus_encode(enc, pcm, 960, packet + 12, 1500);
        if (n > 0) {
            // RTP: version 2, payload type 96, sequence, timestamp, SSRC.
            const uint16_t seq = uint16_t(k);
            const uint32_t ts = uint32_t(k * 960);
            packet[0] = 0x80;
            packet[1] = 96;
            packet[2] = uint8_t(seq >> 8);
            packet[3] = uint8_t(seq);
            for (int b = 0; b < 4; ++b)
                packet[4 + b] = uint8_t(ts >> (24 - 8 * b));
            std::memcpy(packet + 8, "\x56\x4f\x58\x4c", 4);
            sendto(fd, packet, size_t(12 + n), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            if (click && clickLog) {
                timespec now;
                clock_gettime(CLOCK_MONOTONIC, &now);
                std::fprintf(clickLog, "%ld %lld\n", k,
                             (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
                std::fflush(clickLog);
            }
        }
        t.tv_nsec += 20000000;
        t.tv_sec += t.tv_nsec / 1000000000;
        t.tv_nsec %= 1000000000;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
    }
    close(fd);
    opus_encoder_destroy(enc);
    if (clickLog)
        std::fclose(clickLog);
    return 0;
}
