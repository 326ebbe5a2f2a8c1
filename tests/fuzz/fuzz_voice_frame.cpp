// The voice-frame path: datagrams from the network through the media stream
// into the decoder. Input: datagrams, each a big-endian u16 length and its
// bytes. Each datagram must give exactly one decode attempt that leaves
// nothing buffered: a datagram joined to another or left behind would spoil
// the next frame (and here would wait for the receive time-out).
#include "Harness.h"
#include "MediaStream.h"
#include "VoiceDecoder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Link {
    WifiMediaStream stream{0};
    OpusVoiceDecoder decoder{48000, 1};
    int sender = -1;
    sockaddr_in to{};

    Link() {
        if (stream.open() != 0 || decoder.open() != 0)
            abort();
        sender = socket(AF_INET, SOCK_DGRAM, 0);
        to.sin_family = AF_INET;
        to.sin_port = htons((uint16_t)stream.getBoundPort());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Link link;
    int sent = 0;
    size_t at = 0;
    while (at + 2 <= size && sent < 16) {
        size_t len = (size_t)(data[at] << 8 | data[at + 1]) % 1501;
        at += 2;
        if (len > size - at)
            len = size - at;
        if (len > 0) { // an empty datagram is no frame at all
            if (sendto(link.sender, data + at, len, 0, (sockaddr*)&link.to, sizeof link.to) !=
                (ssize_t)len)
                abort();
            ++sent;
        }
        at += len;
    }
    short pcm[960];
    unsigned int sequence = 0;
    for (int i = 0; i < sent; ++i) {
        try {
            (void)link.decoder.decode(&link.stream, pcm, 960, &sequence);
        } catch (StreamFault fault) {
            if (fault != FaultFraming)
                abort(); // a datagram went missing or two were joined
            link.stream.skip();
        }
        if (!link.stream.isStreamNormal(0))
            abort(); // the rest of a datagram would spill into the next frame
    }
    return 0;
}
