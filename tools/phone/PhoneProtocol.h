// The phone's side of the wire: control requests in, replies and voice frames out.
//
// Control message, both directions (multi-byte fields big-endian):
//
//   offset 0      1 .. 4              5 ..
//          +------+-------------------+------------------+
//          | code | payload length    | payload          |
//          +------+-------------------+------------------+
//
//   request            length  payload                         reply
//   101 version check  6       2 3 2, OS type, OS ver 1, 2      code 2 status version
//   102 codec params   6       codec, rate code, media port u32 code 1 status
//   103 start          0       -                                code 1 status
//   104 stop           0       -                                code 1 status
//   105 keep-alive     0       -                                none
//
// Voice frame, one per UDP datagram:
//
//   offset 0                 4               6
//          +-----------------+---------------+----------------------+
//          | sequence u32 BE | length u16 BE | Opus packet (length) |
//          +-----------------+---------------+----------------------+
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace voxlet_phone {

enum RequestCode : uint8_t {
    kVersionRequest = 101,
    kCodecRequest = 102,
    kStartRequest = 103,
    kStopRequest = 104,
    kKeepAliveRequest = 105,
};

constexpr size_t kRequestHeaderSize = 5;
constexpr size_t kMaxRequestPayload = 6;
constexpr size_t kMaxRequestSize = kRequestHeaderSize + kMaxRequestPayload;

// The payload length a request with this code must announce, or -1 for a code
// the phone does not know.
int requestPayloadLength(uint8_t code);

// One whole request, exactly as it came in.
struct Request {
    uint8_t bytes[kMaxRequestSize];
    size_t size;

    uint8_t code() const { return bytes[0]; }
    const uint8_t* payload() const { return bytes + kRequestHeaderSize; }
};

// Cuts the control byte stream into requests. Every request has a fixed
// length, so the parser fails at the first byte that cannot belong to a valid
// request (an unknown code, a length other than the code's): a hostile length
// is never waited for or stored, and at most one request is ever buffered.
// Not thread safe; one per control connection.
class RequestParser {
  public:
    enum class State { Partial, Complete, Failed };

    // Takes bytes up to the end of one request or up to the offending byte and
    // returns how many it took. Takes nothing once Complete or Failed.
    size_t feed(const uint8_t* data, size_t n);
    State state() const { return mState; }
    // Valid while Complete.
    const Request& request() const { return mRequest; }
    // Why the stream was refused, while Failed.
    const std::string& error() const { return mError; }
    // After Complete: go on with the next request.
    void next();

  private:
    Request mRequest{};
    size_t mExpected = 0; // whole size of the request under way, once its header is in
    State mState = State::Partial;
    std::string mError;
};

struct CodecParameters {
    uint8_t codec;
    uint8_t rateCode;
    uint32_t mediaPort;
};

// The fields of a 102 request (the caller has checked the code).
CodecParameters parseCodecParameters(const Request& request);

// 16000 for rate code 1, 48000 for 2, 0 for anything else.
int sampleRateForCode(int rateCode);
// Samples in one 20 ms frame at `rate`.
constexpr int frameSamples(int rate) {
    return rate / 50;
}

constexpr size_t kStatusReplySize = 6;
constexpr size_t kVersionReplySize = 7;

// code, length 1, status.
void buildStatusReply(uint8_t out[kStatusReplySize], uint8_t code, uint8_t status);
// code, length 2, status, version.
void buildVersionReply(uint8_t out[kVersionReplySize], uint8_t code, uint8_t status,
                       uint8_t version);

constexpr size_t kVoiceHeaderSize = 6;
// The client keeps at most 1024 bytes of a datagram.
constexpr size_t kMaxVoicePayload = 1018;
constexpr size_t kMaxVoiceFrame = kVoiceHeaderSize + kMaxVoicePayload;

// Writes one voice frame into `out` (room for kVoiceHeaderSize + size bytes)
// and returns its size. `lengthSkew` is added to the length field only, to
// build a malformed frame on purpose.
size_t buildVoiceFrame(uint8_t* out, uint32_t sequence, const uint8_t* payload, size_t size,
                       int lengthSkew = 0);

// "65 00 00 00 06": upper-case hex bytes separated by single spaces.
std::string hexBytes(const uint8_t* data, size_t size);

} // namespace voxlet_phone
