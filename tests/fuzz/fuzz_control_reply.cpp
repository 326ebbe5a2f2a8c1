// The control replies: the phone's bytes as the start-up exchange, the stop
// and the keep-alive read them. Whatever comes back, the requests sent stay
// exactly the designed bytes, and nothing is read past a reply's end.
#include "ControlStream.h"
#include "Harness.h"
#include "RemoteDevice.h"

#include <string.h>

namespace {

// The phone's side in memory: reads take the input, a read past its end is a
// time-out; writes are kept.
class MemoryStream : public ControlStream {
  public:
    MemoryStream(const uint8_t* data, size_t size) : mData(data), mSize(size) {}
    int open() override { return 0; }
    void close() override {}
    void read(unsigned char* buf, int len) override {
        if ((size_t)len > mSize - mAt)
            throw(StreamFault) FaultTimeout;
        memcpy(buf, mData + mAt, (size_t)len);
        mAt += (size_t)len;
    }
    void write(unsigned char* buf, int len) override { mSent.insert(mSent.end(), buf, buf + len); }

    const uint8_t* mData;
    size_t mSize;
    size_t mAt = 0;
    std::vector<unsigned char> mSent;
};

const unsigned char kRequests[] = {
    0x65, 0, 0, 0, 6, 2, 3, 2, 1, 0,    0,    // version
    0x66, 0, 0, 0, 6, 2, 2, 0, 0, 0xC0, 0x00, // codec, media port 49152
    0x67, 0, 0, 0, 0,                         // start
    0x69, 0, 0, 0, 0,                         // keep-alive
    0x68, 0, 0, 0, 0,                         // stop
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryStream* stream = new MemoryStream(data, size);
    RemoteDevice device(stream, nullptr, 49152);
    int version = -1;
    const int statuses[] = {device.checkServerProtocolVersion(&version),
                            device.setCodecParameters(2, 2), device.start()};
    const int polled = device.poll(), stopped = device.stop();
    if (stream->mSent != std::vector<unsigned char>(std::begin(kRequests), std::end(kRequests)) ||
        stream->mAt > size || version < -1 || version > 255 || polled != 0)
        abort();
    for (int r : {statuses[0], statuses[1], statuses[2], stopped})
        if (r < 0 || r > 255)
            abort(); // a status byte, 10 for a wrong reply or 1 for a failed read
    return 0;
}
