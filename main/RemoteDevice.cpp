#include "RemoteDevice.h"

#include "ControlStream.h"
#include "MediaStream.h"
#include "SessionError.h"
#include "Settings.h"
#include "Statistics.h"
#include "SystenInfo.h"
#include "Utils.h"
#include "VoiceDecoder.h"

#include <string.h>
#include <string_view>
#include <sys/socket.h>

namespace {

enum : unsigned char {
    kCmdVersion = 101,
    kCmdCodec = 102,
    kCmdStart = 103,
    kCmdStop = 104,
    kCmdPoll = 105,
};

constexpr int kWrongReply = RemoteDevice::kWrongReply;

// Sends code | u32 payload length | payload in one write: a request split
// over several sends waits on the peer's delayed acknowledgement.
void sendRequest(ControlStream* s, unsigned char code, const unsigned char* payload, int len) {
    unsigned char bytes[5 + 8];
    bytes[0] = code;
    writeBe32(bytes + 1, (uint32_t)len);
    if (len > 0)
        memcpy(bytes + 5, payload, (size_t)len);
    s->write(bytes, 5 + len);
}

// Reads a reply's code and length (the length is never consulted); whether
// the code is the request's. Nothing after the length is read otherwise.
bool readReplyHeader(ControlStream* s, unsigned char code) {
    unsigned char reply = s->read1();
    (void)s->read4();
    return reply == code;
}

// A request without payload (103, 104): code | 00 00 00 00.
// Reply: code | length | status.
int simpleRequest(ControlStream* s, unsigned char code) {
    if (s == nullptr)
        return 1;
    try {
        sendRequest(s, code, nullptr, 0);
        if (!readReplyHeader(s, code))
            return kWrongReply;
        return s->read1();
    } catch (StreamFault) {
        return 1;
    }
}

} // namespace

RemoteDevice::RemoteDevice()
    : mControlStream(nullptr), mMediaStream(nullptr), mMediaPort(0), mHost{} {}

RemoteDevice::RemoteDevice(ControlStream* control, MediaStream* media, int mediaPort)
    : mControlStream(control), mMediaStream(media), mMediaPort(mediaPort), mHost{} {}

RemoteDevice::~RemoteDevice() {
    tearDown();
}

int RemoteDevice::setUp() {
    if (Settings::getTransportType() != 3)
        return ErrorStartMic;
    tearDown(); // a second setUp must not leak the first one's streams

    mMediaPort = getAvailableUdpPort(Settings::getMediaPort());
    if (mMediaPort != Settings::getMediaPort())
        Settings::setMediaPort(mMediaPort);
    // Port 0 would bind a random port that the phone is never told of.
    if (mMediaPort < 1 || mMediaPort > 65535)
        return ErrorMediaSocket;

    std::string_view host = Settings::trimAddress(Settings::getWifiServerAddr());
    memcpy(mHost, host.data(), host.size());
    mHost[host.size()] = '\0';
    WinSockStream* control = new WinSockStream(mHost, Settings::getControlPort());
    WifiMediaStream* media = new WifiMediaStream(mMediaPort);
    mControlStream = control;
    mMediaStream = media;

    int rc = control->open();
    if (rc != 0)
        return rc;

    // Voice frames are taken only from the host we are talking to: anyone else
    // on the network could otherwise inject audio into the microphone.
    sockaddr_storage peer;
    if (control->getPeerHost(&peer) == 0)
        media->setAllowedSender(peer);

    return media->open() == -1 ? ErrorMediaSocket : ErrorNone;
}

void RemoteDevice::tearDown() {
    if (mControlStream != nullptr) {
        mControlStream->close();
        delete mControlStream;
        mControlStream = nullptr;
    }
    if (mMediaStream != nullptr) {
        mMediaStream->close();
        delete mMediaStream;
        mMediaStream = nullptr;
    }
}

void RemoteDevice::interrupt() {
    if (mMediaStream != nullptr)
        mMediaStream->interrupt();
}

// 101: 65 | 00 00 00 06 | 02 03 02 | OS type | OS major | OS minor
// Reply: 65 | length | status | server version
int RemoteDevice::checkServerProtocolVersion(int* serverVersion) {
    if (mControlStream == nullptr)
        return 1;
    try {
        int major = 0, minor = 0;
        getOsVersion(&major, &minor);
        const unsigned char payload[6] = {
            2, 3, 2, (unsigned char)getOsType(), (unsigned char)major, (unsigned char)minor};
        sendRequest(mControlStream, kCmdVersion, payload, sizeof payload);
        if (!readReplyHeader(mControlStream, kCmdVersion))
            return kWrongReply;
        int status = mControlStream->read1();
        int version = mControlStream->read1();
        if (serverVersion != nullptr)
            *serverVersion = version;
        return status;
    } catch (StreamFault) {
        return 1;
    }
}

// 102: 66 | 00 00 00 06 | codec | rate code | media port (u32)
// Reply: 66 | length | status
int RemoteDevice::setCodecParameters(int codec, int rateCode) {
    if (mControlStream == nullptr)
        return 1;
    try {
        unsigned char payload[6] = {(unsigned char)codec, (unsigned char)rateCode};
        writeBe32(payload + 2, (uint32_t)mMediaPort);
        sendRequest(mControlStream, kCmdCodec, payload, sizeof payload);
        if (!readReplyHeader(mControlStream, kCmdCodec))
            return kWrongReply;
        return mControlStream->read1();
    } catch (StreamFault) {
        return 1;
    }
}

int RemoteDevice::start() {
    return simpleRequest(mControlStream, kCmdStart);
}

int RemoteDevice::stop() {
    return simpleRequest(mControlStream, kCmdStop);
}

// 105: 69 | 00 00 00 00, no reply.
int RemoteDevice::poll() {
    if (mControlStream == nullptr)
        return 1;
    try {
        sendRequest(mControlStream, kCmdPoll, nullptr, 0);
        return 0;
    } catch (StreamFault) {
        return 1;
    }
}

int RemoteDevice::getFrame(VoiceDecoder* decoder, short* pcm, int samples, unsigned int* sequence) {
    if (mMediaStream == nullptr)
        return -2;
    // Anyone on the network can send datagrams from the phone's address, so a
    // bad one is no sign of a broken link: drop it and wait for a good frame,
    // as long as a silent phone would be waited for.
    const int64_t deadline = getCurrentTimeInMS() + kFrameWaitMs;
    for (;;) {
        try {
            if (decoder->decode(mMediaStream, pcm, samples, sequence))
                return 0;
        } catch (StreamFault fault) {
            if (fault == FaultTimeout)
                return -1;
            if (fault != FaultFraming)
                return -2;
            mMediaStream->skip();
        }
        Statistics::getInstance()->badFrameCount++;
        if (mSessionState != nullptr && mSessionState->load() != StateConnected)
            return -1;
        if (getCurrentTimeInMS() >= deadline)
            return -1;
    }
}
