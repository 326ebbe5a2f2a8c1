// voxlet-phone against known bytes: a raw TCP client and UDP receiver drive
// the real binary; the voice frames are decoded here with libopus.
#include "PcmSource.h"
#include "PhoneProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <netinet/in.h>
#include <numbers>
#include <opus.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kVersion = {0x65, 0x00, 0x00, 0x00, 0x06, 0x02, 0x03, 0x02, 0x01, 0x00, 0x00};
const Bytes kStart = {0x67, 0x00, 0x00, 0x00, 0x00};
const Bytes kStop = {0x68, 0x00, 0x00, 0x00, 0x00};
const Bytes kKeepAlive = {0x69, 0x00, 0x00, 0x00, 0x00};

const Bytes kVersionOk = {0x65, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01};
const Bytes kCodecOk = {0x66, 0x00, 0x00, 0x00, 0x01, 0x00};
const Bytes kStartOk = {0x67, 0x00, 0x00, 0x00, 0x01, 0x00};
const Bytes kStopOk = {0x68, 0x00, 0x00, 0x00, 0x01, 0x00};

Bytes codecRequest(int rateCode, int port, int codec = 2) {
    Bytes request = {0x66, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    request[5] = static_cast<uint8_t>(codec);
    request[6] = static_cast<uint8_t>(rateCode);
    request[9] = static_cast<uint8_t>(port >> 8);
    request[10] = static_cast<uint8_t>(port);
    return request;
}

int64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A raw control connection.
class Control {
  public:
    explicit Control(int port) : mFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a = loopback(port);
        mConnected = connect(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Control() { close(mFd); }
    bool connected() const { return mConnected; }

    void send(const Bytes& bytes) { ::send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    // Up to `n` bytes: what arrives within `timeoutMs`.
    Bytes read(size_t n, int timeoutMs = 3000) {
        Bytes got;
        int64_t deadline = monotonicNs() + int64_t{timeoutMs} * 1'000'000;
        while (got.size() < n) {
            int left = static_cast<int>((deadline - monotonicNs()) / 1'000'000);
            pollfd p{mFd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0) {
                break;
            }
            uint8_t buffer[64];
            ssize_t r = recv(mFd, buffer, std::min(sizeof buffer, n - got.size()), 0);
            if (r <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + r);
        }
        return got;
    }

    Bytes ask(const Bytes& request, size_t replySize) {
        send(request);
        return read(replySize);
    }

    // Whether the phone closes the connection within `timeoutMs`.
    bool closedByPeer(int timeoutMs) {
        int64_t deadline = monotonicNs() + int64_t{timeoutMs} * 1'000'000;
        for (;;) {
            int left = static_cast<int>((deadline - monotonicNs()) / 1'000'000);
            pollfd p{mFd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0) {
                return false;
            }
            uint8_t buffer[64];
            if (recv(mFd, buffer, sizeof buffer, 0) <= 0) {
                return true;
            }
        }
    }

  private:
    int mFd;
    bool mConnected = false;
};

struct Frame {
    uint32_t sequence;
    uint16_t length; // the field, not the size
    Bytes payload;
};

// The test's media socket on 127.0.0.1.
class MediaPort {
  public:
    MediaPort() : mFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a = loopback(0);
        socklen_t length = sizeof a;
        bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(mFd, reinterpret_cast<sockaddr*>(&a), &length);
        mPort = ntohs(a.sin_port);
    }
    ~MediaPort() { close(mFd); }
    int port() const { return mPort; }

    bool receive(Frame* frame, int timeoutMs = 1000) {
        pollfd p{mFd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) {
            return false;
        }
        uint8_t buffer[2048];
        ssize_t n = recv(mFd, buffer, sizeof buffer, 0);
        if (n < 6) {
            ADD_FAILURE() << "datagram of " << n << " bytes";
            return false;
        }
        frame->sequence = (uint32_t{buffer[0]} << 24) | (uint32_t{buffer[1]} << 16) |
                          (uint32_t{buffer[2]} << 8) | buffer[3];
        frame->length = static_cast<uint16_t>((buffer[4] << 8) | buffer[5]);
        frame->payload.assign(buffer + 6, buffer + n);
        return true;
    }

    // Every datagram until none has come for `quietMs`.
    std::vector<Frame> collectUntilQuiet(int quietMs) {
        std::vector<Frame> frames;
        Frame f;
        while (receive(&f, quietMs)) {
            frames.push_back(f);
        }
        return frames;
    }

  private:
    int mFd;
    int mPort = 0;
};

// 101, 102 and 103 on a new connection, each accepted.
void startSession(Control& control, int rateCode, int mediaPort) {
    ASSERT_TRUE(control.connected());
    ASSERT_EQ(control.ask(kVersion, 7), kVersionOk);
    ASSERT_EQ(control.ask(codecRequest(rateCode, mediaPort), 6), kCodecOk);
    ASSERT_EQ(control.ask(kStart, 6), kStartOk);
}

// Receives `count` frames in order from sequence 0, checks their length
// fields and decodes each to one 20 ms frame at `rate`.
void receivePcm(MediaPort& media, int rate, int count, std::vector<int16_t>* pcm) {
    int err = 0;
    OpusDecoder* decoder = opus_decoder_create(rate, 1, &err);
    ASSERT_EQ(err, OPUS_OK);
    int16_t frame[5760];
    for (int i = 0; i < count; ++i) {
        Frame f;
        if (!media.receive(&f)) {
            ADD_FAILURE() << "frame " << i << " did not arrive";
            break;
        }
        EXPECT_EQ(f.sequence, static_cast<uint32_t>(i));
        EXPECT_EQ(f.length, f.payload.size());
        int n = opus_decode(decoder, f.payload.data(), static_cast<opus_int32>(f.payload.size()),
                            frame, 5760, 0);
        EXPECT_EQ(n, rate / 50) << "frame " << i;
        if (n > 0) {
            pcm->insert(pcm->end(), frame, frame + n);
        }
    }
    opus_decoder_destroy(decoder);
}

// Frequency from sign changes, skipping the codec's first frame.
double toneFrequency(const std::vector<int16_t>& pcm, int rate) {
    size_t from = static_cast<size_t>(rate / 50);
    int crossings = 0;
    for (size_t i = from + 1; i < pcm.size(); ++i) {
        crossings += (pcm[i - 1] < 0) != (pcm[i] < 0);
    }
    return crossings / 2.0 / (static_cast<double>(pcm.size() - from) / rate);
}

// The level of a sine of peak `amplitude` is amplitude / sqrt(2).
double sineAmplitude(const int16_t* pcm, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) {
        sum += static_cast<double>(pcm[i]) * pcm[i];
    }
    return std::sqrt(2 * sum / static_cast<double>(n));
}

int peak(const int16_t* pcm, size_t n) {
    int p = 0;
    for (size_t i = 0; i < n; ++i) {
        p = std::max(p, std::abs(int{pcm[i]}));
    }
    return p;
}

std::string tempPath(const std::string& name) {
    return testing::TempDir() + "voxlet-phone-" + std::to_string(getpid()) + "-" + name;
}

void put16(std::string& s, int v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& s, uint32_t v) {
    put16(s, static_cast<int>(v & 0xFFFF));
    put16(s, static_cast<int>(v >> 16));
}

// A canonical WAV file; `trailer` follows the data chunk.
void writeWav(const std::string& path, int rate, int channels, const std::vector<int16_t>& samples,
              int bits = 16, const std::string& trailer = "") {
    uint32_t dataSize = static_cast<uint32_t>(samples.size() * 2);
    std::string s = "RIFF";
    put32(s, 36 + dataSize);
    s += "WAVEfmt ";
    put32(s, 16);
    put16(s, 1);
    put16(s, channels);
    put32(s, static_cast<uint32_t>(rate));
    put32(s, static_cast<uint32_t>(rate * channels * bits / 8));
    put16(s, channels * bits / 8);
    put16(s, bits);
    s += "data";
    put32(s, dataSize);
    for (int16_t v : samples) {
        put16(s, v);
    }
    s += trailer;
    std::ofstream(path, std::ios::binary) << s;
}

std::vector<int16_t> sine(int rate, double hz, int count, double amplitude) {
    std::vector<int16_t> out(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        out[static_cast<size_t>(i)] = static_cast<int16_t>(
            std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate)));
    }
    return out;
}

} // namespace

TEST(Phone, DefaultSessionStreamsA440HzToneAndSummarisesIt) {
    PhoneProcess phone;
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    MediaPort media;
    Control control(phone.port());
    ASSERT_NO_FATAL_FAILURE(startSession(control, 2, media.port()));

    std::vector<int16_t> pcm;
    ASSERT_NO_FATAL_FAILURE(receivePcm(media, 48000, 50, &pcm));
    EXPECT_NEAR(toneFrequency(pcm, 48000), 440.0, 440.0 * 0.02);
    int expectedPeak = static_cast<int>(32767 * std::pow(10.0, -6.0 / 20));
    EXPECT_NEAR(sineAmplitude(pcm.data() + 960, pcm.size() - 960), expectedPeak,
                expectedPeak * 0.1);

    for (int i = 0; i < 3; ++i) {
        control.send(kKeepAlive);
    }
    EXPECT_EQ(control.ask(kStop, 6), kStopOk);
    // Whatever was sent before the stop is queued already; nothing follows it.
    size_t received = 50 + media.collectUntilQuiet(300).size();

    char port[8];
    std::snprintf(port, sizeof port, "%02X %02X", media.port() >> 8, media.port() & 0xFF);
    std::string expected = "listening on 127.0.0.1:" + std::to_string(phone.port()) +
                           "\n"
                           "request 101: 65 00 00 00 06 02 03 02 01 00 00\n"
                           "request 102: 66 00 00 00 06 02 02 00 00 " +
                           port +
                           "\n"
                           "request 103: 67 00 00 00 00\n"
                           "request 104: 68 00 00 00 00\n"
                           "keep-alives: 3\n"
                           "frames sent: " +
                           std::to_string(received) + "\n";
    EXPECT_EQ(phone.stop(), expected);
    EXPECT_EQ(phone.exitStatus(), 0);
}

TEST(Phone, Rate1GivesShortFramesOfTheRequestedToneAndLevel) {
    PhoneProcess phone({"--tone", "1000", "--level", "-12"});
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    MediaPort media;
    Control control(phone.port());
    ASSERT_NO_FATAL_FAILURE(startSession(control, 1, media.port()));
    std::vector<int16_t> pcm;
    ASSERT_NO_FATAL_FAILURE(receivePcm(media, 16000, 40, &pcm));
    EXPECT_NEAR(toneFrequency(pcm, 16000), 1000.0, 1000.0 * 0.02);
    int expectedPeak = static_cast<int>(32767 * std::pow(10.0, -12.0 / 20));
    EXPECT_NEAR(sineAmplitude(pcm.data() + 320, pcm.size() - 320), expectedPeak,
                expectedPeak * 0.1);
}

TEST(Phone, ReplyBytesFollowTheMisbehaviourOptions) {
    PhoneProcess phone({"--version-status", "9", "--version-reply-code", "70", "--version-byte",
                        "7", "--codec-status", "3", "--start-status", "4"});
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    MediaPort media;
    Control control(phone.port());
    EXPECT_EQ(control.ask(kVersion, 7), (Bytes{0x46, 0x00, 0x00, 0x00, 0x02, 0x09, 0x07}));
    EXPECT_EQ(control.ask(codecRequest(2, media.port()), 6),
              (Bytes{0x66, 0x00, 0x00, 0x00, 0x01, 0x03}));
    EXPECT_EQ(control.ask(kStart, 6), (Bytes{0x67, 0x00, 0x00, 0x00, 0x01, 0x04}));
    Frame f;
    EXPECT_FALSE(media.receive(&f, 300)) << "a refused start must not stream";
}

TEST(Phone, RefusesAStartWithoutUsableCodecParameters) {
    PhoneProcess phone;
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    MediaPort media;
    Control control(phone.port());
    const Bytes refusedCodec = {0x66, 0x00, 0x00, 0x00, 0x01, 0x01};
    const Bytes refusedStart = {0x67, 0x00, 0x00, 0x00, 0x01, 0x01};
    EXPECT_EQ(control.ask(kStart, 6), refusedStart);
    EXPECT_EQ(control.ask(codecRequest(3, media.port()), 6), refusedCodec);
    EXPECT_EQ(control.ask(codecRequest(2, media.port(), 1), 6), refusedCodec);
    EXPECT_EQ(control.ask(codecRequest(2, 0), 6), refusedCodec);
    EXPECT_EQ(control.ask(kStart, 6), refusedStart);
    Frame f;
    EXPECT_FALSE(media.receive(&f, 200));

    EXPECT_EQ(control.ask(codecRequest(2, media.port()), 6), kCodecOk);
    EXPECT_EQ(control.ask(kStart, 6), kStartOk);
    ASSERT_TRUE(media.receive(&f));
    EXPECT_EQ(f.sequence, 0u);
}

TEST(Phone, SilentAcceptsEverythingAndSendsNothing) {
    PhoneProcess phone({"--silent"});
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    MediaPort media;
    Control control(phone.port());
    ASSERT_NO_FATAL_FAILURE(startSession(control, 2, media.port()));
    Frame f;
    EXPECT_FALSE(media.receive(&f, 300));
    EXPECT_NE(phone.stop().find("frames sent: 0\n"), std::string::npos);
}

TEST(Phone, NoAnswerSwallowsOneRequestAndKeepsReading) {
    PhoneProcess phone({"--no-answer", "102"});
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    MediaPort media;
    Control control(phone.port());
    EXPECT_EQ(control.ask(kVersion, 7), kVersionOk);
    control.send(codecRequest(2, media.port()));
    EXPECT_TRUE(control.read(1, 300).empty());
    // The parameters were taken all the same.
    EXPECT_EQ(control.ask(kStart, 6), kStartOk);
    Frame f;
    ASSERT_TRUE(media.receive(&f));
    EXPECT_EQ(f.sequence, 0u);
}

TEST(Phone, MalformedEveryNthDatagramHasALengthFieldOneTooLarge) {
    PhoneProcess phone({"--malformed-every", "4", "--stop-after", "12"});
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    MediaPort media;
    Control control(phone.port());
    ASSERT_NO_FATAL_FAILURE(startSession(control, 2, media.port()));
    std::vector<Frame> frames = media.collectUntilQuiet(300);
    ASSERT_EQ(frames.size(), 12u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].sequence, i);
        size_t skew = (i + 1) % 4 == 0 ? 1 : 0;
        EXPECT_EQ(frames[i].length, frames[i].payload.size() + skew) << "datagram " << i;
    }
}

TEST(Phone, StopAfterEndsTheStreamButNotTheConnection) {
    PhoneProcess phone({"--stop-after", "10"});
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    MediaPort media;
    Control control(phone.port());
    ASSERT_NO_FATAL_FAILURE(startSession(control, 1, media.port()));
    std::vector<Frame> frames = media.collectUntilQuiet(300);
    ASSERT_EQ(frames.size(), 10u);
    EXPECT_EQ(frames.back().sequence, 9u);
    control.send(kKeepAlive);
    EXPECT_EQ(control.ask(kStop, 6), kStopOk);
    EXPECT_NE(phone.stop().find("keep-alives: 1\nframes sent: 10\n"), std::string::npos);
}

TEST(Phone, CloseAfterDropsTheClientAndServesTheNextOne) {
    PhoneProcess phone({"--close-after", "0.3"});
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    {
        MediaPort media;
        Control control(phone.port());
        ASSERT_NO_FATAL_FAILURE(startSession(control, 2, media.port()));
        EXPECT_TRUE(control.closedByPeer(3000));
        media.collectUntilQuiet(200);
        Frame f;
        EXPECT_FALSE(media.receive(&f, 200)) << "streaming must end with the connection";
    }
    Control next(phone.port());
    EXPECT_EQ(next.ask(kVersion, 7), kVersionOk);
}

TEST(Phone, SurvivesGarbageAndHugeLengthsAndServesTheNextClient) {
    PhoneProcess phone;
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    {
        Control garbage(phone.port());
        garbage.send({0xFF, 0x13, 0x37, 0x00, 0x00, 0x00, 0x00});
        EXPECT_TRUE(garbage.closedByPeer(2000));
    }
    {
        // Announces 4 GB and keeps sending: refused at the header.
        Control huge(phone.port());
        huge.send({0x65, 0xFF, 0xFF, 0xFF, 0xFF});
        huge.send(Bytes(60000, 0xAB));
        EXPECT_TRUE(huge.closedByPeer(2000));
    }
    {
        // Leaves half-way through a request.
        Control partial(phone.port());
        partial.send({0x65, 0x00, 0x00});
    }
    Control good(phone.port());
    EXPECT_EQ(good.ask(kVersion, 7), kVersionOk);
    EXPECT_TRUE(phone.running());
    std::string summary = phone.stop();
    EXPECT_EQ(phone.exitStatus(), 0);
    size_t first = summary.find("request 101:");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(summary.find("request", first + 1), std::string::npos) << summary;
}

TEST(Phone, LossAndReorderFollowTheSeed) {
    const std::vector<std::string> args = {"--loss", "20", "--reorder",    "25",
                                           "--seed", "7",  "--stop-after", "60"};
    PhoneProcess a(args);
    PhoneProcess b(args);
    ASSERT_GT(a.port(), 0) << a.standardError();
    ASSERT_GT(b.port(), 0) << b.standardError();
    MediaPort mediaA;
    MediaPort mediaB;
    Control controlA(a.port());
    Control controlB(b.port());
    ASSERT_NO_FATAL_FAILURE(startSession(controlA, 1, mediaA.port()));
    ASSERT_NO_FATAL_FAILURE(startSession(controlB, 1, mediaB.port()));
    std::vector<Frame> framesA = mediaA.collectUntilQuiet(400);
    std::vector<Frame> framesB = mediaB.collectUntilQuiet(400);

    std::vector<uint32_t> seqA;
    std::vector<uint32_t> seqB;
    for (const Frame& f : framesA) {
        seqA.push_back(f.sequence);
    }
    for (const Frame& f : framesB) {
        seqB.push_back(f.sequence);
    }
    EXPECT_EQ(seqA, seqB) << "the same seed must give the same stream";

    std::vector<bool> seen(60, false);
    int swaps = 0;
    for (size_t i = 0; i < seqA.size(); ++i) {
        ASSERT_LT(seqA[i], 60u);
        EXPECT_FALSE(seen[seqA[i]]) << "duplicate " << seqA[i];
        seen[seqA[i]] = true;
        if (i + 1 < seqA.size() && seqA[i] > seqA[i + 1]) {
            ++swaps;
            EXPECT_EQ(seqA[i], seqA[i + 1] + 1) << "a reordered frame moves by one place";
        }
    }
    EXPECT_LT(seqA.size(), 57u) << "about 12 of 60 frames should be lost";
    EXPECT_GT(seqA.size(), 35u);
    EXPECT_GT(swaps, 0);
    EXPECT_NE(a.stop().find("frames sent: " + std::to_string(seqA.size()) + "\n"),
              std::string::npos);
}

TEST(Phone, ClickFramesCarryAClickAndAreLoggedWithTheirSendTime) {
    std::string log = tempPath("clicks.log");
    PhoneProcess phone({"--click-every", "100", "--click-log", log, "--stop-after", "25"});
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    MediaPort media;
    Control control(phone.port());
    int64_t before = monotonicNs();
    ASSERT_NO_FATAL_FAILURE(startSession(control, 2, media.port()));
    std::vector<int16_t> pcm;
    ASSERT_NO_FATAL_FAILURE(receivePcm(media, 48000, 25, &pcm));
    int64_t after = monotonicNs();
    ASSERT_EQ(pcm.size(), 25u * 960);
    for (size_t frame = 0; frame < 25; ++frame) {
        int p = peak(pcm.data() + frame * 960, 960);
        if (frame % 5 == 0) {
            EXPECT_GT(p, 10000) << "frame " << frame;
        } else if (frame % 5 == 2 || frame % 5 == 3) {
            EXPECT_LT(p, 1000) << "frame " << frame;
        }
    }

    phone.stop();
    std::ifstream in(log);
    std::vector<uint32_t> seqs;
    int64_t last = before;
    uint32_t seq = 0;
    int64_t ns = 0;
    while (in >> seq >> ns) {
        seqs.push_back(seq);
        EXPECT_GE(ns, last);
        last = ns;
    }
    EXPECT_LE(last, after) << "send times are on the monotonic clock";
    EXPECT_EQ(seqs, (std::vector<uint32_t>{0, 5, 10, 15, 20}));
    std::remove(log.c_str());
}

TEST(Phone, WavFileAt16kHzStreamsAtBothRates) {
    std::string path = tempPath("tone16k.wav");
    // 500 whole cycles, so the loop joins without a jump.
    writeWav(path, 16000, 1, sine(16000, 1000, 8000, 16000));
    PhoneProcess phone({"--wav", path});
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    for (int rateCode : {1, 2}) {
        SCOPED_TRACE(rateCode);
        int rate = rateCode == 1 ? 16000 : 48000;
        MediaPort media;
        Control control(phone.port());
        ASSERT_NO_FATAL_FAILURE(startSession(control, rateCode, media.port()));
        std::vector<int16_t> pcm;
        ASSERT_NO_FATAL_FAILURE(receivePcm(media, rate, 30, &pcm));
        EXPECT_NEAR(toneFrequency(pcm, rate), 1000.0, 20.0);
        EXPECT_NEAR(sineAmplitude(pcm.data() + rate / 50, pcm.size() - rate / 50), 16000,
                    16000 * 0.1);
    }
    std::remove(path.c_str());
}

TEST(Phone, RefusesUnsupportedWavFilesAndBadOptionsWithStatus2) {
    std::string path = tempPath("tone8k.wav");
    writeWav(path, 8000, 1, sine(8000, 440, 800, 8000));
    const std::vector<std::vector<std::string>> cases = {
        {"--wav", path},     {"--wav", tempPath("missing.wav")},
        {"--port", "70000"}, {"--no-answer", "104"},
        {"--frobnicate"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args[1] : ""));
        PhoneProcess phone(args);
        EXPECT_EQ(phone.port(), -1);
        ASSERT_TRUE(phone.waitExit(3000));
        EXPECT_EQ(phone.exitStatus(), 2);
        EXPECT_FALSE(phone.standardError().empty());
    }
    PhoneProcess eightK({"--wav", path});
    eightK.waitExit(3000);
    EXPECT_NE(eightK.standardError().find("8000 Hz"), std::string::npos) << eightK.standardError();
    std::remove(path.c_str());
}

TEST(Phone, ExitAfterSessionEndsWithTheFirstClient) {
    PhoneProcess phone({"--exit-after-session"});
    ASSERT_GT(phone.port(), 0) << phone.standardError();
    {
        Control control(phone.port());
        EXPECT_EQ(control.ask(kVersion, 7), kVersionOk);
    }
    ASSERT_TRUE(phone.waitExit(3000));
    EXPECT_EQ(phone.exitStatus(), 0);
    EXPECT_NE(phone.standardOutput().find("request 101: 65 00 00 00 06 02 03 02 01 00 00\n"
                                          "keep-alives: 0\nframes sent: 0\n"),
              std::string::npos);
}

TEST(PhoneWav, MixesStereoDownAndStopsAtTheDataChunk) {
    std::string path = tempPath("stereo.wav");
    // L, R pairs; a chunk after the data must not be played.
    writeWav(path, 48000, 2, {1000, 3000, -200, -400, 7, -8, -32768, -32768}, 16,
             std::string("LIST\x04\0\0\0abcd", 12));
    voxlet_phone::WavAudio audio;
    std::string error;
    ASSERT_TRUE(voxlet_phone::loadWav(path, &audio, &error)) << error;
    EXPECT_EQ(audio.rate, 48000);
    EXPECT_EQ(audio.samples, (std::vector<int16_t>{2000, -300, 0, -32768}));
    std::remove(path.c_str());
}

TEST(PhoneWav, RefusesFormatsItCannotStream) {
    struct Case {
        int rate;
        int channels;
        int bits;
        size_t samples;
    };
    for (Case c : {Case{44100, 1, 16, 10}, Case{16000, 3, 16, 9}, Case{16000, 1, 24, 9},
                   Case{16000, 1, 16, 0}}) {
        std::string path = tempPath("bad.wav");
        writeWav(path, c.rate, c.channels, std::vector<int16_t>(c.samples, 5), c.bits);
        voxlet_phone::WavAudio audio;
        std::string error;
        EXPECT_FALSE(voxlet_phone::loadWav(path, &audio, &error))
            << c.rate << " Hz " << c.channels << " ch " << c.bits << " bits";
        EXPECT_NE(error.find(path), std::string::npos);
        std::remove(path.c_str());
    }
}
