// voxlet-phone: a stand-in for the phone's server app, for tests, the demo and
// developers without a phone.
#include "PcmSource.h"
#include "PhoneOptions.h"
#include "PhoneServer.h"
#include "voxlet_version.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace voxlet_phone;

int main(int argc, char** argv) {
    PhoneOptions options;
    std::string error;
    switch (parseOptions(argc, argv, &options, &error)) {
    case ParseResult::Help:
        std::fputs(usageText().c_str(), stdout);
        return 0;
    case ParseResult::Version:
        std::puts("voxlet-phone " VOXLET_VERSION);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "voxlet-phone: %s\n%s", error.c_str(), usageText().c_str());
        return 2;
    case ParseResult::Run:
        break;
    }

    WavAudio wav;
    if (!options.wavPath.empty() && !loadWav(options.wavPath, &wav, &error)) {
        std::fprintf(stderr, "voxlet-phone: %s\n", error.c_str());
        return 2;
    }
    FILE* clickLog = nullptr;
    if (!options.clickLogPath.empty()) {
        clickLog = std::fopen(options.clickLogPath.c_str(), "w");
        if (clickLog == nullptr) {
            std::perror(("voxlet-phone: " + options.clickLogPath).c_str());
            return 2;
        }
    }

    // Blocked before any thread exists, so every thread inherits the mask and
    // the signals arrive only through the descriptor the server polls.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (stopFd < 0) {
        std::perror("voxlet-phone: signalfd");
        return 1;
    }

    int status = 0;
    {
        PhoneServer server(options, std::move(wav), clickLog);
        if (!server.listen(&error)) {
            std::fprintf(stderr, "voxlet-phone: %s\n", error.c_str());
            status = 1;
        } else {
            std::printf("listening on %s\n", server.endpoint().c_str());
            std::fflush(stdout);
            server.run(stopFd);
            std::fputs(server.summary().c_str(), stdout);
            std::fflush(stdout);
        }
    }
    if (clickLog != nullptr) {
        std::fclose(clickLog);
    }
    close(stopFd);
    return status;
}
