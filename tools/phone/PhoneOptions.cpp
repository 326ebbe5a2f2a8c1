#include "PhoneOptions.h"

#include "Utils.h"
#include "voxlet_version.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <netinet/in.h>

namespace voxlet_phone {

namespace {

bool parseDouble(const std::string& text, double min, double max, double* out) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < min || v > max) {
        return false;
    }
    *out = v;
    return true;
}

bool isNumericAddress(const std::string& text) {
    in_addr v4;
    in6_addr v6;
    return inet_pton(AF_INET, text.c_str(), &v4) == 1 ||
           inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

// One option: its name, whether it takes a value, and how it applies the value.
// apply returns what was wrong with the value, or nullptr.
struct OptionSpec {
    const char* name;
    bool takesValue;
    const char* (*apply)(PhoneOptions* o, const char* value);
};

const char* takeByte(const char* value, int* out) {
    long n = 0;
    if (!parseIntInRange(value, 0, 255, &n, 0)) {
        return "a byte, 0 to 255";
    }
    *out = static_cast<int>(n);
    return nullptr;
}

const char* takePercent(const char* value, double* out) {
    return parseDouble(value, 0.0, 100.0, out) ? nullptr : "a percentage, 0 to 100";
}

// --help and --version come first: parseOptions tells them by their place.
const OptionSpec kOptions[] = {
    {"help", false, [](PhoneOptions*, const char*) -> const char* { return nullptr; }},
    {"version", false, [](PhoneOptions*, const char*) -> const char* { return nullptr; }},
    {"bind", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         if (!isNumericAddress(v)) {
             return "a numeric IPv4 or IPv6 address";
         }
         o->bindAddress = v;
         return nullptr;
     }},
    {"port", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         long n = 0;
         if (!parseIntInRange(v, 0, 65535, &n, 0)) {
             return "a port, 0 to 65535";
         }
         o->port = static_cast<int>(n);
         return nullptr;
     }},
    {"tone", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         return parseDouble(v, 1.0, 7999.0, &o->toneHz) ? nullptr : "a frequency, 1 to 7999 Hz";
     }},
    {"level", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         return parseDouble(v, -120.0, 0.0, &o->levelDbfs) ? nullptr : "a level, -120 to 0 dBFS";
     }},
    {"wav", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         o->wavPath = v;
         return o->wavPath.empty() ? "a file name" : nullptr;
     }},
    {"click-every", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         long n = 0;
         if (!parseIntInRange(v, 1, 3600000, &n, 0)) {
             return "a period, 1 to 3600000 ms";
         }
         o->clickEveryMs = static_cast<int>(n);
         return nullptr;
     }},
    {"click-log", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         o->clickLogPath = v;
         return o->clickLogPath.empty() ? "a file name" : nullptr;
     }},
    {"version-status", true,
     [](PhoneOptions* o, const char* v) { return takeByte(v, &o->versionStatus); }},
    {"version-reply-code", true,
     [](PhoneOptions* o, const char* v) { return takeByte(v, &o->versionReplyCode); }},
    {"version-byte", true,
     [](PhoneOptions* o, const char* v) { return takeByte(v, &o->versionByte); }},
    {"codec-status", true,
     [](PhoneOptions* o, const char* v) { return takeByte(v, &o->codecStatus); }},
    {"start-status", true,
     [](PhoneOptions* o, const char* v) { return takeByte(v, &o->startStatus); }},
    {"no-answer", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         std::string request = v;
         bool* target = request == "101"   ? &o->noAnswerVersion
                        : request == "102" ? &o->noAnswerCodec
                        : request == "103" ? &o->noAnswerStart
                                           : nullptr;
         if (target == nullptr) {
             return "101, 102 or 103";
         }
         *target = true;
         return nullptr;
     }},
    {"silent", false,
     [](PhoneOptions* o, const char*) -> const char* {
         o->silent = true;
         return nullptr;
     }},
    {"stop-after", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         return parseIntInRange(v, 0, 1L << 40, &o->stopAfterFrames, 0)
                    ? nullptr
                    : "a frame count, 0 or more";
     }},
    {"close-after", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         return parseDouble(v, 0.0, 86400.0, &o->closeAfterSeconds) ? nullptr
                                                                    : "seconds, 0 to 86400";
     }},
    {"loss", true, [](PhoneOptions* o, const char* v) { return takePercent(v, &o->lossPercent); }},
    {"reorder", true,
     [](PhoneOptions* o, const char* v) { return takePercent(v, &o->reorderPercent); }},
    {"jitter", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         long n = 0;
         if (!parseIntInRange(v, 0, 1000, &n, 0)) {
             return "milliseconds, 0 to 1000";
         }
         o->jitterMs = static_cast<int>(n);
         return nullptr;
     }},
    {"malformed-every", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         long n = 0;
         if (!parseIntInRange(v, 1, 1000000000, &n, 0)) {
             return "a datagram count, 1 or more";
         }
         o->malformedEvery = static_cast<int>(n);
         return nullptr;
     }},
    {"seed", true,
     [](PhoneOptions* o, const char* v) -> const char* {
         long n = 0;
         if (!parseIntInRange(v, 0, 4294967295L, &n, 0)) {
             return "a number, 0 to 4294967295";
         }
         o->seed = static_cast<unsigned>(n);
         return nullptr;
     }},
    {"exit-after-session", false,
     [](PhoneOptions* o, const char*) -> const char* {
         o->exitAfterSession = true;
         return nullptr;
     }},
};

constexpr int kOptionCount = static_cast<int>(sizeof kOptions / sizeof kOptions[0]);
constexpr int kFirstOption = 256; // above every character getopt_long returns

} // namespace

std::string usageText() {
    return std::string("voxlet-phone ") + VOXLET_VERSION +
           ": a stand-in for the phone's server app\n"
           "usage: voxlet-phone [options]\n"
           "  --bind ADDR              numeric address to listen on (127.0.0.1)\n"
           "  --port N                 control port, 0 for any free one (8125)\n"
           "  --tone HZ                sine tone, 1 to 7999 Hz (440)\n"
           "  --level DBFS             tone level, -120 to 0 (-6)\n"
           "  --wav FILE               loop a 16-bit mono or stereo WAV, 16000 or 48000 Hz\n"
           "  --click-every MS         silence with a full-scale click every MS ms\n"
           "                           (rounded to whole 20 ms frames)\n"
           "  --click-log FILE         write 'SEQ MONOTONIC_NS' for each click frame sent\n"
           "  --version-status N       status of the 101 reply (0)\n"
           "  --version-reply-code N   code byte of the 101 reply (101)\n"
           "  --version-byte N         version in the 101 reply (1)\n"
           "  --codec-status N         status of the 102 reply (0)\n"
           "  --start-status N         status of the 103 reply (0)\n"
           "  --no-answer REQUEST      accept 101, 102 or 103 but never answer it\n"
           "  --silent                 accept everything, never stream\n"
           "  --stop-after FRAMES      stop streaming after that many frames (lost ones\n"
           "                           count); the connection stays open\n"
           "  --close-after SECONDS    close the control connection that long after 103\n"
           "  --loss PERCENT           drop frames at random\n"
           "  --jitter MS              delay each frame by a random 0..MS ms (up to 1000)\n"
           "  --reorder PERCENT        swap a frame with the next one at random\n"
           "  --malformed-every N      every Nth datagram's length field is one too large\n"
           "  --seed N                 seed of the random choices (1)\n"
           "  --exit-after-session     exit once the first client leaves\n"
           "  --help                   this text\n"
           "  --version                print the version\n"
           "On SIGINT or SIGTERM it prints a summary and exits 0.\n";
}

ParseResult parseOptions(int argc, const char* const* argv, PhoneOptions* o, std::string* error) {
    auto fail = [error](const std::string& message) {
        *error = message;
        return ParseResult::Error;
    };
    option longOptions[kOptionCount + 1] = {};
    for (int i = 0; i < kOptionCount; ++i) {
        longOptions[i] = {kOptions[i].name,
                          kOptions[i].takesValue ? required_argument : no_argument, nullptr,
                          kFirstOption + i};
    }
    // getopt_long keeps its position in globals: start afresh, report nothing
    // itself, stop at the first stray argument ('+'), and tell a missing value
    // (':') from an unknown option ('?').
    optind = 0;
    opterr = 0;
    char* const* args = const_cast<char* const*>(argv);
    for (;;) {
        int index = getopt_long(argc, args, "+:h", longOptions, nullptr);
        if (index == -1) {
            break;
        }
        if (index == 'h' || index == kFirstOption) {
            return ParseResult::Help;
        }
        if (index == kFirstOption + 1) {
            return ParseResult::Version;
        }
        // optopt is a short option's letter, or 0 or a long option's value.
        const std::string given = optopt > 0 && optopt < 256
                                      ? std::string("-") + static_cast<char>(optopt)
                                      : argv[optind - 1];
        if (index == ':') {
            return fail(given + " needs a value");
        }
        if (index == '?') {
            return fail("unknown option or unexpected value: " + given);
        }
        const OptionSpec& spec = kOptions[index - kFirstOption];
        if (const char* expected = spec.apply(o, spec.takesValue ? optarg : nullptr)) {
            return fail(std::string("--") + spec.name + ": " + expected);
        }
    }
    if (optind < argc) {
        return fail(std::string("unexpected argument ") + argv[optind]);
    }
    if (!o->wavPath.empty() && o->clickEveryMs > 0) {
        return fail("--wav and --click-every cannot be combined");
    }
    if (!o->clickLogPath.empty() && o->clickEveryMs == 0) {
        return fail("--click-log needs --click-every");
    }
    return ParseResult::Run;
}

} // namespace voxlet_phone
