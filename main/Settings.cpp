#include "Settings.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

std::string Settings::settingsPath = Settings::kFileName;
int Settings::transportType = 0;
char Settings::wifiServerAddr[Settings::kAddressSize] = {0};
std::atomic<bool> Settings::playLocally{false};
int Settings::controlPort = 0;
int Settings::mediaPort = 0;
bool Settings::autoConnect = false;
int Settings::_x = 0;
int Settings::_y = 0;
int Settings::_width = 0;
int Settings::_height = 0;

int Settings::getTransportType() {
    return transportType;
}
void Settings::setTransportType(int type) {
    transportType = type;
}
char* Settings::getWifiServerAddr() {
    return wifiServerAddr;
}

void Settings::setWifiServerAddr(const char* addr) {
    size_t len = strnlen(addr, kAddressSize);
    if (len >= (size_t)kAddressSize) {
        len = kAddressSize - 1;
        // Cut before a UTF-8 sequence that would not fit whole.
        size_t start = len;
        while (start > 0 && ((unsigned char)addr[start] & 0xC0) == 0x80)
            --start;
        if (start < len && ((unsigned char)addr[start] & 0xC0) == 0xC0)
            len = start;
    }
    memmove(wifiServerAddr, addr, len);
    wifiServerAddr[len] = '\0';
}

bool Settings::isPlayLocally() {
    return playLocally.load(std::memory_order_relaxed);
}
void Settings::setPlayLocally(bool on) {
    playLocally.store(on, std::memory_order_relaxed);
}
int Settings::getControlPort() {
    return controlPort;
}
void Settings::setControlPort(int port) {
    controlPort = port;
}
int Settings::getMediaPort() {
    return mediaPort;
}
void Settings::setMediaPort(int port) {
    mediaPort = port;
}
bool Settings::isAutoConnect() {
    return autoConnect;
}
void Settings::setAutoConnect(bool on) {
    autoConnect = on;
}

void Settings::getWindowPos(int* x, int* y, int* width, int* height) {
    *x = _x;
    *y = _y;
    *width = _width;
    *height = _height;
}

void Settings::setWindowPos(int x, int y, int width, int height) {
    _x = x;
    _y = y;
    _width = width;
    _height = height;
}

namespace {

bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads [space][sign]digits at *pos; numbers beyond 32 bits saturate.
// Returns false (and leaves *pos) when there is no digit.
bool parseInt(const std::string& text, size_t* pos, int* out) {
    size_t i = *pos;
    while (i < text.size() && isSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    size_t digits = i;
    long long value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (value <= (long long)INT_MAX + 1)
            value = value * 10 + (text[i] - '0');
        ++i;
    }
    if (i == digits)
        return false;
    if (negative)
        value = -value;
    *out = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : (int)value;
    *pos = i;
    return true;
}

int intValue(const std::string& text) {
    size_t pos = 0;
    int value = 0;
    return parseInt(text, &pos, &value) ? value : 0;
}

bool flagValue(const std::string& text) {
    return text.find('1') != std::string::npos;
}

// Up to four comma-separated integers; each one read is stored at once.
void windowValue(const std::string& text, int* fields[4]) {
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != ',')
                return;
            ++pos;
        }
        int value;
        if (!parseInt(text, &pos, &value))
            return;
        *fields[i] = value;
    }
}

// Reads one line without its line feed; false at the end of the file.
bool readLine(FILE* file, std::string* line) {
    line->clear();
    int c;
    bool any = false;
    while ((c = getc(file)) != EOF) {
        any = true;
        if (c == '\n')
            return true;
        line->push_back((char)c);
    }
    return any;
}

} // namespace

void Settings::setFilePath(const std::string& file) {
    settingsPath = file;
}

const std::string& Settings::filePath() {
    return settingsPath;
}

void Settings::readSettings() {
    readSettingsFrom(settingsPath.c_str());
}

void Settings::readSettingsFrom(const char* path) {
    FILE* file = fopen(path, "rb");
    transportType = 1;
    wifiServerAddr[0] = '\0';
    setPlayLocally(false);
    controlPort = 8125;
    mediaPort = 49152;
    autoConnect = false;
    setWindowPos(200, 200, 500, 300);
    if (!file)
        return;

    std::string line;
    int* window[4] = {&_x, &_y, &_width, &_height};
    while (readLine(file, &line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string key = line.substr(0, colon);
        std::string value = line.substr(colon + 1);
        // The first name the key contains decides, in this order.
        if (key.find("transportType") != std::string::npos)
            transportType = intValue(value);
        else if (key.find("wifiServerAddr") != std::string::npos)
            setWifiServerAddr(value.c_str());
        else if (key.find("playLocally") != std::string::npos)
            setPlayLocally(flagValue(value));
        else if (key.find("controlPort") != std::string::npos)
            controlPort = intValue(value);
        else if (key.find("mediaPort") != std::string::npos)
            mediaPort = intValue(value);
        else if (key.find("autoConnect") != std::string::npos)
            autoConnect = flagValue(value);
        else if (key.find("window") != std::string::npos)
            windowValue(value, window);
    }
    fclose(file);
}

void Settings::writeSettings() {
    writeSettingsTo(settingsPath.c_str());
}

bool Settings::writeSettingsTo(const char* path) {
    // Write a temporary file beside the target and rename it over: a crash or
    // a full disk never leaves a truncated settings file behind.
    std::string temp = std::string(path) + ".tmp." + std::to_string(getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        ::close(fd);
        unlink(temp.c_str());
        return false;
    }
    bool ok = fprintf(file, "transportType:%d\n", transportType) > 0 &&
              fprintf(file, "wifiServerAddr:%s\n", wifiServerAddr) > 0 &&
              fprintf(file, "playLocally:%d\n", isPlayLocally() ? 1 : 0) > 0 &&
              fprintf(file, "controlPort:%d\n", controlPort) > 0 &&
              fprintf(file, "mediaPort:%d\n", mediaPort) > 0 &&
              fprintf(file, "autoConnect:%d\n", autoConnect ? 1 : 0) > 0 &&
              fprintf(file, "window:%d,%d,%d,%d\n", _x, _y, _width, _height) > 0;
    ok = fflush(file) == 0 && ok;
    ok = fsync(fileno(file)) == 0 && ok;
    ok = fclose(file) == 0 && ok;
    if (!ok || rename(temp.c_str(), path) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}
