// Command line of voxlet-phone.
#pragma once

#include <string>

namespace voxlet_phone {

struct PhoneOptions {
    std::string bindAddress = "127.0.0.1"; // numeric IPv4 or IPv6
    int port = 8125;                       // 0: any free port

    // Signal: a tone, or a WAV file looped, or clicks.
    double toneHz = 440.0;
    double levelDbfs = -6.0;
    std::string wavPath;
    int clickEveryMs = 0; // 0: no clicks
    std::string clickLogPath;

    // Answers.
    int versionStatus = 0;
    int versionReplyCode = 101;
    int versionByte = 1;
    int codecStatus = 0;
    int startStatus = 0;
    bool noAnswerVersion = false;
    bool noAnswerCodec = false;
    bool noAnswerStart = false;

    // Streaming faults.
    bool silent = false;
    long stopAfterFrames = -1;       // -1: never
    double closeAfterSeconds = -1.0; // below 0: never
    double lossPercent = 0.0;
    int jitterMs = 0;
    double reorderPercent = 0.0;
    int malformedEvery = 0; // 0: never
    unsigned seed = 1;

    bool exitAfterSession = false;
};

enum class ParseResult { Run, Help, Version, Error };

// Fills `options` from argv. On Error, `error` says what was wrong.
ParseResult parseOptions(int argc, const char* const* argv, PhoneOptions* options,
                         std::string* error);

std::string usageText();

} // namespace voxlet_phone
