#include "RemoteDevice.h"

#include "ControlStream.h"
#include "MediaStream.h"
#include "Settings.h"
#include "SystenInfo.h"
#include "Utils.h"
#include "VoiceDecoder.h"

#include <sys/socket.h>

namespace {

enum : unsigned char {
    kCmdVersion = 101,
    kCmdCodec = 102,
    kCmdStart = 103,
    kCmdStop = 104,
    kCmdPoll = 105,
};

constexpr int kWrongReply = 10;

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
        s->write1(code);
        s->write4(0);
        if (!readReplyHeader(s, code))
            return kWrongReply;
        return s->read1();
    } catch (StreamFault) {
        return 1;
    }
}

} // namespace

RemoteDevice::RemoteDevice() : mControlStream(nullptr), mMediaStream(nullptr), mMediaPort(0) {}

RemoteDevice::~RemoteDevice() {
    tearDown();
}

int RemoteDevice::setUp() {
    if (Settings::getTransportType() != 3)
        return -8;
    tearDown(); // a second setUp must not leak the first one's streams

    mMediaPort = getAvailableUdpPort(Settings::getMediaPort());
    if (mMediaPort != Settings::getMediaPort())
        Settings::setMediaPort(mMediaPort);

    WinSockStream* control =
        new WinSockStream(Settings::getWifiServerAddr(), Settings::getControlPort());
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

    return media->open() == -1 ? -12 : 0;
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

// 101: 65 | 00 00 00 06 | 02 03 02 | OS type | OS major | OS minor
// Reply: 65 | length | status | server version
int RemoteDevice::checkServerProtocolVersion(int* serverVersion) {
    if (mControlStream == nullptr)
        return 1;
    try {
        int major = 0, minor = 0;
        getOsVersion(&major, &minor);
        mControlStream->write1(kCmdVersion);
        mControlStream->write4(6);
        mControlStream->write1(2);
        mControlStream->write1(3);
        mControlStream->write1(2);
        mControlStream->write1((unsigned char)getOsType());
        mControlStream->write1((unsigned char)major);
        mControlStream->write1((unsigned char)minor);
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
        mControlStream->write1(kCmdCodec);
        mControlStream->write4(6);
        mControlStream->write1((unsigned char)codec);
        mControlStream->write1((unsigned char)rateCode);
        mControlStream->write4((unsigned int)mMediaPort);
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
        mControlStream->write1(kCmdPoll);
        mControlStream->write4(0);
        return 0;
    } catch (StreamFault) {
        return 1;
    }
}

int RemoteDevice::getFrame(VoiceDecoder* decoder, short* pcm, int samples, unsigned int* sequence) {
    if (mMediaStream == nullptr)
        return -2;
    int retries = 0;
    for (;;) {
        try {
            return decoder->decode(mMediaStream, pcm, samples, sequence) ? 0 : -1;
        } catch (StreamFault fault) {
            if (fault == FaultTimeout)
                return -1;
            if (fault != FaultFraming)
                return -2;
            // Drop the rest of the malformed datagram and try the next one,
            // but never so long that a stop request has to wait for us.
            mMediaStream->skip();
            if (++retries > kMaxFramingRetries)
                return -1;
            if (mSessionState != nullptr && mSessionState->load() != 2)
                return -1;
        }
    }
}
