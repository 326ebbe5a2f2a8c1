// Per-frame cost of the whole receive path — a datagram sent over loopback,
// RemoteDevice::getFrame (media stream + decoder), the playout queue and the
// playout tick — against bare opus_decode of the same packets. The two take
// turns for several rounds and each keeps its fastest round: on a shared
// machine one pass of either can be slowed by a neighbour.
//
//   build/bench/receive_path [--frames N] [--rounds R]
#include "PlayoutTick.h"
#include "RemoteDevice.h"
#include "Settings.h"
#include "Statistics.h"
#include "VoiceDecoder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <opus.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
constexpr int kFrame = 960;

double nsSince(Clock::time_point t) {
    return (double)std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t).count();
}

std::vector<std::vector<unsigned char>> encodeTone(int frames) {
    int error;
    OpusEncoder* enc = opus_encoder_create(kRate, 1, OPUS_APPLICATION_AUDIO, &error);
    std::vector<std::vector<unsigned char>> packets;
    short pcm[kFrame];
    for (int f = 0; f < frames; ++f) {
        for (int i = 0; i < kFrame; ++i)
            pcm[i] = (short)(12000 * std::sin(2 * M_PI * 1000.0 * (f * kFrame + i) / kRate));
        unsigned char out[1000];
        int len = opus_encode(enc, pcm, kFrame, out, sizeof out);
        packets.emplace_back(out, out + len);
    }
    opus_encoder_destroy(enc);
    return packets;
}

} // namespace

int main(int argc, char** argv) {
    int frames = 3000;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--frames")
            frames = std::max(10, atoi(argv[i + 1]));
        else if (std::string(argv[i]) == "--rounds")
            rounds = std::max(1, atoi(argv[i + 1]));
    }
    auto packets = encodeTone(frames);

    // A control peer that only accepts, so RemoteDevice can set up for real.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, (sockaddr*)&addr, sizeof addr);
    listen(listener, 1);
    socklen_t len = sizeof addr;
    getsockname(listener, (sockaddr*)&addr, &len);
    std::thread acceptor([listener] {
        int c = accept(listener, nullptr, nullptr);
        char buf[64];
        while (read(c, buf, sizeof buf) > 0) {
        }
        close(c);
    });

    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in probe{};
    probe.sin_family = AF_INET;
    probe.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(udp, (sockaddr*)&probe, sizeof probe); // a free port, to learn one
    len = sizeof probe;
    getsockname(udp, (sockaddr*)&probe, &len);
    int mediaPort = ntohs(probe.sin_port);
    close(udp);

    Settings::setTransportType(3);
    Settings::setWifiServerAddr("127.0.0.1");
    Settings::setControlPort(ntohs(addr.sin_port));
    Settings::setMediaPort(mediaPort);
    RemoteDevice* device = new RemoteDevice();
    if (device->setUp() != 0) {
        fprintf(stderr, "receive_path: set-up failed\n");
        return 1;
    }
    OpusVoiceDecoder decoder(kRate, 1);
    decoder.open();
    // The playout queue and tick, driven as the controller's timer would.
    PlayoutQueue queue;
    queue.open(kFrame);
    PlayoutTick tick(queue, Statistics::getInstance()->oldDropCount);
    tick.open(kFrame);
    long played = 0;

    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)mediaPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Every round continues the sequence, as one long session would.
    std::vector<std::vector<unsigned char>> datagrams;
    for (size_t i = 0; i < packets.size() * size_t(rounds); ++i) {
        const std::vector<unsigned char>& packet = packets[i % packets.size()];
        std::vector<unsigned char> d(6 + packet.size());
        uint32_t seq = (uint32_t)i;
        d[0] = seq >> 24, d[1] = seq >> 16, d[2] = seq >> 8, d[3] = seq;
        d[4] = packet.size() >> 8, d[5] = packet.size() & 0xff;
        memcpy(d.data() + 6, packet.data(), packet.size());
        datagrams.push_back(std::move(d));
    }

    PlayoutPacket packet;
    int delivered = 0;
    long decoded = 0;
    double bareNs = 1e18, pathNs = 1e18, sendNs = 0;
    for (int r = 0; r < rounds; ++r) {
        int error;
        OpusDecoder* bare = opus_decoder_create(kRate, 1, &error);
        short pcm[5760];
        auto t0 = Clock::now();
        for (auto& p : packets)
            decoded += opus_decode(bare, p.data(), (int)p.size(), pcm, 5760, 0);
        bareNs = std::min(bareNs, nsSince(t0) / frames);
        opus_decoder_destroy(bare);

        // The phone's send is timed as well: on loopback it also runs the
        // kernel's delivery into our socket, which a real link does elsewhere.
        double sent = 0;
        t0 = Clock::now();
        for (int i = 0; i < frames; ++i) {
            const auto& d = datagrams[size_t(r) * size_t(frames) + size_t(i)];
            const auto s0 = Clock::now();
            sendto(sender, d.data(), d.size(), 0, (sockaddr*)&to, sizeof to);
            sent += nsSince(s0);
            if (device->getFrame(&decoder, packet.samples, kFrame, &packet.sequence) == 0) {
                ++delivered;
                queue.put(&packet);
            }
            played += tick.next()[kFrame - 1] != 0;
        }
        const double ns = nsSince(t0) / frames;
        if (ns < pathNs) {
            pathNs = ns;
            sendNs = sent / frames;
        }
    }

    decoder.close();
    device->tearDown();
    delete device;
    close(sender);
    shutdown(listener, SHUT_RDWR);
    close(listener);
    acceptor.join();

    const long total = long(frames) * rounds;
    printf("frames: %d x %d rounds (delivered %d, %ld ticks ended on sound, bare decode gave %ld "
           "samples)\n",
           frames, rounds, delivered, played, decoded);
    printf("bare opus_decode: %.1f us/frame (fastest round)\n", bareNs / 1000);
    printf("whole receive path: %.1f us/frame (fastest round)\n", pathNs / 1000);
    printf("  of which the sender's sendto over loopback: %.1f us/frame\n", sendNs / 1000);
    printf("ratio (path / bare decode): %.2f; without the sendto: %.2f\n", pathNs / bareNs,
           (pathNs - sendNs) / bareNs);
    return delivered == total ? 0 : 1;
}
