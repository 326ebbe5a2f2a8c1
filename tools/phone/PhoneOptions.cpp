#include "PhoneOptions.h"

#include "Utils.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

bool takesValue(const std::string& name) {
    static const char* const kNames[] = {
        "--bind",
        "--port",
        "--tone",
        "--level",
        "--wav",
        "--click-every",
        "--click-log",
        "--version-status",
        "--version-reply-code",
        "--version-byte",
        "--codec-status",
        "--start-status",
        "--no-answer",
        "--stop-after",
        "--close-after",
        "--loss",
        "--jitter",
        "--reorder",
        "--malformed-every",
        "--seed",
    };
    for (const char* known : kNames) {
        if (name == known) {
            return true;
        }
    }
    return false;
}

} // namespace

std::string usageText() {
    return std::string("voxlet-phone ") + version() +
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
           "On SIGINT or SIGTERM it prints a summary and exits 0.\n";
}

ParseResult parseOptions(int argc, const char* const* argv, PhoneOptions* o, std::string* error) {
    auto fail = [error](const std::string& message) {
        *error = message;
        return ParseResult::Error;
    };
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            hasValue = true;
        }

        if (name == "--help" || name == "-h") {
            return ParseResult::Help;
        }
        if (name == "--silent" || name == "--exit-after-session") {
            if (hasValue) {
                return fail(name + " takes no value");
            }
            (name == "--silent" ? o->silent : o->exitAfterSession) = true;
            continue;
        }
        if (!takesValue(name)) {
            return fail(name.rfind("--", 0) == 0 ? "unknown option " + name
                                                 : "unexpected argument " + name);
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                return fail(name + " needs a value");
            }
            value = argv[++i];
        }
        auto bad = [&](const char* expected) { return fail(name + ": " + expected); };

        long n = 0;
        double d = 0;
        if (name == "--bind") {
            if (!isNumericAddress(value)) {
                return bad("a numeric IPv4 or IPv6 address");
            }
            o->bindAddress = value;
        } else if (name == "--port") {
            if (!parseIntInRange(value.c_str(), 0, 65535, &n, 0)) {
                return bad("a port, 0 to 65535");
            }
            o->port = static_cast<int>(n);
        } else if (name == "--tone") {
            if (!parseDouble(value, 1.0, 7999.0, &d)) {
                return bad("a frequency, 1 to 7999 Hz");
            }
            o->toneHz = d;
        } else if (name == "--level") {
            if (!parseDouble(value, -120.0, 0.0, &d)) {
                return bad("a level, -120 to 0 dBFS");
            }
            o->levelDbfs = d;
        } else if (name == "--wav") {
            if (value.empty()) {
                return bad("a file name");
            }
            o->wavPath = value;
        } else if (name == "--click-every") {
            if (!parseIntInRange(value.c_str(), 1, 3600000, &n, 0)) {
                return bad("a period, 1 to 3600000 ms");
            }
            o->clickEveryMs = static_cast<int>(n);
        } else if (name == "--click-log") {
            if (value.empty()) {
                return bad("a file name");
            }
            o->clickLogPath = value;
        } else if (name == "--version-status" || name == "--version-reply-code" ||
                   name == "--version-byte" || name == "--codec-status" ||
                   name == "--start-status") {
            if (!parseIntInRange(value.c_str(), 0, 255, &n, 0)) {
                return bad("a byte, 0 to 255");
            }
            int byte = static_cast<int>(n);
            if (name == "--version-status") {
                o->versionStatus = byte;
            } else if (name == "--version-reply-code") {
                o->versionReplyCode = byte;
            } else if (name == "--version-byte") {
                o->versionByte = byte;
            } else if (name == "--codec-status") {
                o->codecStatus = byte;
            } else {
                o->startStatus = byte;
            }
        } else if (name == "--no-answer") {
            if (value == "101") {
                o->noAnswerVersion = true;
            } else if (value == "102") {
                o->noAnswerCodec = true;
            } else if (value == "103") {
                o->noAnswerStart = true;
            } else {
                return bad("101, 102 or 103");
            }
        } else if (name == "--stop-after") {
            if (!parseIntInRange(value.c_str(), 0, 1L << 40, &n, 0)) {
                return bad("a frame count, 0 or more");
            }
            o->stopAfterFrames = n;
        } else if (name == "--close-after") {
            if (!parseDouble(value, 0.0, 86400.0, &d)) {
                return bad("seconds, 0 to 86400");
            }
            o->closeAfterSeconds = d;
        } else if (name == "--loss" || name == "--reorder") {
            if (!parseDouble(value, 0.0, 100.0, &d)) {
                return bad("a percentage, 0 to 100");
            }
            (name == "--loss" ? o->lossPercent : o->reorderPercent) = d;
        } else if (name == "--jitter") {
            if (!parseIntInRange(value.c_str(), 0, 1000, &n, 0)) {
                return bad("milliseconds, 0 to 1000");
            }
            o->jitterMs = static_cast<int>(n);
        } else if (name == "--malformed-every") {
            if (!parseIntInRange(value.c_str(), 1, 1000000000, &n, 0)) {
                return bad("a datagram count, 1 or more");
            }
            o->malformedEvery = static_cast<int>(n);
        } else if (name == "--seed") {
            if (!parseIntInRange(value.c_str(), 0, 4294967295L, &n, 0)) {
                return bad("a number, 0 to 4294967295");
            }
            o->seed = static_cast<unsigned>(n);
        }
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
