#include "PhoneServer.h"

#include "MediaSender.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mach/mach_time.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace voxlet_phone {

namespace {

// Mach absolute time is the monotonic clock in nanoseconds here (timebase 1/1).
int64_t monotonicNs() {
    return static_cast<int64_t>(mach_absolute_time());
}

std::string hostText(const sockaddr_storage& addr) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (addr.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
    } else if (addr.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text,
                  sizeof text);
    }
    return text;
}

void logLine(const std::string& text) {
    std::fprintf(stderr, "voxlet-phone: %s\n", text.c_str());
}

} // namespace

PhoneServer::PhoneServer(const PhoneOptions& options, WavAudio wav, FILE* clickLog)
    : mOptions(options), mWav(std::move(wav)),
      mSender(std::make_unique<MediaSender>(mOptions, mWav, clickLog, &mFramesSent)) {}

PhoneServer::~PhoneServer() {
    mSender->stop();
    if (mListenFd >= 0) {
        close(mListenFd);
    }
}

bool PhoneServer::listen(std::string* error) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(mOptions.port);
    int gai = getaddrinfo(mOptions.bindAddress.c_str(), service.c_str(), &hints, &found);
    if (gai != 0 || found == nullptr) {
        *error = "cannot use address " + mOptions.bindAddress + ": " + gai_strerror(gai);
        return false;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 4) != 0) {
        *error = "cannot listen on " + mOptions.bindAddress + " port " + service + ": " +
                 std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        freeaddrinfo(found);
        return false;
    }
    freeaddrinfo(found);

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    mPort =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                          : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
    mListenFd = fd;
    return true;
}

std::string PhoneServer::endpoint() const {
    bool v6 = mOptions.bindAddress.find(':') != std::string::npos;
    std::string host = v6 ? "[" + mOptions.bindAddress + "]" : mOptions.bindAddress;
    return host + ":" + std::to_string(mPort);
}

void PhoneServer::run(int stopFd) {
    for (;;) {
        pollfd fds[2] = {{mListenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            logLine(std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        mPeerLength = sizeof mPeer;
        int fd =
            accept4(mListenFd, reinterpret_cast<sockaddr*>(&mPeer), &mPeerLength, SOCK_CLOEXEC);
        if (fd < 0) {
            continue; // the client gave up before we took it
        }
        logLine("client connected from " + hostText(mPeer));
        SessionEnd end = serveClient(fd, stopFd);
        mSender->stop();
        close(fd);
        logLine(end == SessionEnd::ClientLeft ? "client left" : "connection closed");
        if (end == SessionEnd::Stopping || mOptions.exitAfterSession) {
            return;
        }
    }
}

PhoneServer::SessionEnd PhoneServer::serveClient(int fd, int stopFd) {
    mHaveCodec = false;
    mCloseArmed = false;
    // A client that stops reading must not wedge the phone in a reply.
    timeval sendLimit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);

    RequestParser parser;
    uint8_t buffer[4096];
    for (;;) {
        int timeoutMs = -1;
        if (mCloseArmed) {
            int64_t left = mCloseAtNs - monotonicNs();
            if (left <= 0) {
                logLine("closing the control connection as asked");
                return SessionEnd::Closed;
            }
            timeoutMs = static_cast<int>((left + 999'999) / 1'000'000);
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        int ready = poll(fds, 2, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            logLine(std::string("poll failed: ") + std::strerror(errno));
            return SessionEnd::Closed;
        }
        if (fds[1].revents != 0) {
            return SessionEnd::Stopping;
        }
        if (ready <= 0 || fds[0].revents == 0) {
            continue;
        }
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            return SessionEnd::ClientLeft;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            logLine(std::string("control receive failed: ") + std::strerror(errno));
            return SessionEnd::ClientLeft;
        }
        size_t used = 0;
        while (used < static_cast<size_t>(n)) {
            used += parser.feed(buffer + used, static_cast<size_t>(n) - used);
            if (parser.state() == RequestParser::State::Failed) {
                logLine("bad request, closing the connection: " + parser.error());
                return SessionEnd::Closed;
            }
            if (parser.state() == RequestParser::State::Complete) {
                if (!handle(fd, parser.request())) {
                    return SessionEnd::Closed;
                }
                parser.next();
            }
        }
    }
}

bool PhoneServer::handle(int fd, const Request& request) {
    const uint8_t code = request.code();
    if (code == kKeepAliveRequest) {
        ++mKeepAlives;
        return true;
    }
    std::string line =
        "request " + std::to_string(code) + ": " + hexBytes(request.bytes, request.size);
    logLine(line);
    mRequestLog.push_back(std::move(line));

    uint8_t out[kVersionReplySize];
    switch (code) {
    case kVersionRequest:
        if (mOptions.noAnswerVersion) {
            return true;
        }
        buildVersionReply(out, static_cast<uint8_t>(mOptions.versionReplyCode),
                          static_cast<uint8_t>(mOptions.versionStatus),
                          static_cast<uint8_t>(mOptions.versionByte));
        return reply(fd, out, kVersionReplySize);

    case kCodecRequest: {
        CodecParameters params = parseCodecParameters(request);
        uint8_t status = static_cast<uint8_t>(mOptions.codecStatus);
        bool valid = params.codec == 2 && sampleRateForCode(params.rateCode) != 0 &&
                     params.mediaPort >= 1 && params.mediaPort <= 65535;
        if (status == 0 && !valid) {
            logLine("refusing codec parameters: codec 2, rate code 1 or 2 and a port needed");
            status = 1;
        }
        if (status == 0) {
            mHaveCodec = true;
            mCodec = params;
        }
        if (mOptions.noAnswerCodec) {
            return true;
        }
        buildStatusReply(out, code, status);
        return reply(fd, out, kStatusReplySize);
    }

    case kStartRequest: {
        uint8_t status = static_cast<uint8_t>(mOptions.startStatus);
        if (status == 0 && !mHaveCodec) {
            logLine("refusing start: no codec parameters accepted yet");
            status = 1;
        }
        if (mOptions.closeAfterSeconds >= 0 && !mCloseArmed) {
            mCloseArmed = true;
            mCloseAtNs = monotonicNs() + static_cast<int64_t>(mOptions.closeAfterSeconds * 1e9);
        }
        if (status == 0 && !mOptions.silent && !mSender->streaming()) {
            sockaddr_storage dest = mPeer;
            uint16_t port = htons(static_cast<uint16_t>(mCodec.mediaPort));
            if (dest.ss_family == AF_INET6) {
                reinterpret_cast<sockaddr_in6&>(dest).sin6_port = port;
            } else {
                reinterpret_cast<sockaddr_in&>(dest).sin_port = port;
            }
            std::string error;
            if (!mSender->start(dest, mPeerLength, sampleRateForCode(mCodec.rateCode), &error)) {
                logLine(error);
                status = 1;
            }
        }
        if (mOptions.noAnswerStart) {
            return true;
        }
        buildStatusReply(out, code, status);
        return reply(fd, out, kStatusReplySize);
    }

    case kStopRequest:
        mSender->stop();
        buildStatusReply(out, code, 0);
        return reply(fd, out, kStatusReplySize);

    default:
        return false; // the parser lets no other code through
    }
}

bool PhoneServer::reply(int fd, const uint8_t* bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fd, bytes + done, size - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            logLine(std::string("reply failed: ") + std::strerror(errno));
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string PhoneServer::summary() const {
    std::string text;
    for (const std::string& line : mRequestLog) {
        text += line + "\n";
    }
    text += "keep-alives: " + std::to_string(mKeepAlives) + "\n";
    text += "frames sent: " + std::to_string(mFramesSent.load()) + "\n";
    return text;
}

} // namespace voxlet_phone
