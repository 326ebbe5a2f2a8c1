#include "PhoneProtocol.h"

#include "Utils.h"

#include <cstring>

namespace voxlet_phone {

int requestPayloadLength(uint8_t code) {
    switch (code) {
    case kVersionRequest:
    case kCodecRequest:
        return 6;
    case kStartRequest:
    case kStopRequest:
    case kKeepAliveRequest:
        return 0;
    default:
        return -1;
    }
}

size_t RequestParser::feed(const uint8_t* data, size_t n) {
    size_t taken = 0;
    while (taken < n && mState == State::Partial) {
        uint8_t byte = data[taken++];
        mRequest.bytes[mRequest.size++] = byte;
        if (mRequest.size == 1) {
            if (requestPayloadLength(byte) < 0) {
                mState = State::Failed;
                mError = "unknown command code " + std::to_string(byte);
                return taken;
            }
        } else if (mRequest.size == kRequestHeaderSize) {
            uint32_t length = readBe32(mRequest.bytes + 1);
            int expected = requestPayloadLength(mRequest.code());
            if (length != static_cast<uint32_t>(expected)) {
                mState = State::Failed;
                mError = "bad length " + std::to_string(length) + " for request " +
                         std::to_string(mRequest.code()) + " (expected " +
                         std::to_string(expected) + ")";
                return taken;
            }
            mExpected = kRequestHeaderSize + length;
        }
        if (mRequest.size >= kRequestHeaderSize && mRequest.size == mExpected) {
            mState = State::Complete;
        }
    }
    return taken;
}

void RequestParser::next() {
    if (mState != State::Complete) {
        return;
    }
    mRequest.size = 0;
    mExpected = 0;
    mState = State::Partial;
}

CodecParameters parseCodecParameters(const Request& request) {
    const uint8_t* p = request.payload();
    return CodecParameters{p[0], p[1], readBe32(p + 2)};
}

int sampleRateForCode(int rateCode) {
    switch (rateCode) {
    case 1:
        return 16000;
    case 2:
        return 48000;
    default:
        return 0;
    }
}

void buildStatusReply(uint8_t out[kStatusReplySize], uint8_t code, uint8_t status) {
    out[0] = code;
    writeBe32(out + 1, 1);
    out[5] = status;
}

void buildVersionReply(uint8_t out[kVersionReplySize], uint8_t code, uint8_t status,
                       uint8_t version) {
    out[0] = code;
    writeBe32(out + 1, 2);
    out[5] = status;
    out[6] = version;
}

size_t buildVoiceFrame(uint8_t* out, uint32_t sequence, const uint8_t* payload, size_t size,
                       int lengthSkew) {
    writeBe32(out, sequence);
    uint16_t length = static_cast<uint16_t>(static_cast<int>(size) + lengthSkew);
    out[4] = static_cast<uint8_t>(length >> 8);
    out[5] = static_cast<uint8_t>(length);
    if (size > 0) {
        std::memcpy(out + kVoiceHeaderSize, payload, size);
    }
    return kVoiceHeaderSize + size;
}

std::string hexBytes(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 3);
    for (size_t i = 0; i < size; ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}

} // namespace voxlet_phone
