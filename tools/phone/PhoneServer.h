// The phone's control side: listens, serves one client at a time, answers
// 101 to 105 and runs the media stream between 103 and the client's leaving.
#pragma once

#include "PcmSource.h"
#include "PhoneOptions.h"
#include "PhoneProtocol.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace voxlet_phone {

class MediaSender;

// Everything runs on the thread that calls run(), except the media stream,
// which has its own thread (MediaSender) and shares only the frame counter.
class PhoneServer {
  public:
    // `wav` holds the loaded file when options name one. The click log, when
    // given, must be open already.
    PhoneServer(const PhoneOptions& options, WavAudio wav, FILE* clickLog);
    ~PhoneServer();
    PhoneServer(const PhoneServer&) = delete;
    PhoneServer& operator=(const PhoneServer&) = delete;

    // Binds and listens. False with a message.
    bool listen(std::string* error);
    // The port actually bound (after listen).
    int port() const { return mPort; }
    // "127.0.0.1:8125" or "[::1]:8125".
    std::string endpoint() const;

    // Serves clients until `stopFd` becomes readable (never read here, so it
    // stays readable) or, with --exit-after-session, the first client leaves.
    void run(int stopFd);

    // The requests seen, the keep-alive count and the frames sent.
    std::string summary() const;

  private:
    enum class SessionEnd { ClientLeft, Closed, Stopping };

    SessionEnd serveClient(int fd, int stopFd);
    // False when the connection must end (a reply could not be sent).
    bool handle(int fd, const Request& request);
    bool reply(int fd, const uint8_t* bytes, size_t size);

    const PhoneOptions mOptions;
    const WavAudio mWav;
    int mListenFd = -1;
    int mPort = 0;

    // Per session, on the run() thread.
    sockaddr_storage mPeer{};
    socklen_t mPeerLength = 0;
    bool mHaveCodec = false;
    CodecParameters mCodec{};
    bool mCloseArmed = false;
    int64_t mCloseAtNs = 0;

    // Run totals, on the run() thread (mFramesSent also by the stream thread).
    std::vector<std::string> mRequestLog;
    uint64_t mKeepAlives = 0;
    std::atomic<uint64_t> mFramesSent{0};

    std::unique_ptr<MediaSender> mSender; // declared last so it goes first
};

} // namespace voxlet_phone
