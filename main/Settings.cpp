#include "Settings.h"

#include "Utils.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
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

bool Settings::setWifiServerAddr(const char* addr) {
    // A line feed would end the line in the file and let the rest of the
    // text pose as another setting.
    if (strchr(addr, '\n') != nullptr)
        return false;
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
    return true;
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

// A line longer than this is cut: nothing in the file needs more, and a
// runaway line must not be read whole into memory.
constexpr size_t kMaxLine = 4096;

int intValue(const std::string& text) {
    return leadingIntValue(text);
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
        if (!parseLeadingInt(text, &pos, &value))
            return;
        *fields[i] = value;
    }
}

// Reads one line without its line feed, keeping at most kMaxLine bytes of
// it; false at the end of the file.
bool readLine(FILE* file, std::string* line) {
    line->clear();
    int c;
    bool any = false;
    while ((c = getc(file)) != EOF) {
        any = true;
        if (c == '\n')
            return true;
        if (line->size() < kMaxLine)
            line->push_back((char)c);
    }
    return any;
}

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// The file a write must replace. A symbolic link stays a link: its target
// (created if the link dangles) gets the new contents.
std::string writeTarget(const char* path) {
    if (char* real = realpath(path, nullptr)) {
        std::string target(real);
        free(real);
        return target;
    }
    char link[PATH_MAX];
    ssize_t n = readlink(path, link, sizeof link - 1);
    if (n <= 0)
        return path;
    link[n] = '\0';
    std::string dir(path);
    size_t slash = dir.rfind('/');
    if (link[0] == '/' || slash == std::string::npos)
        return link;
    return dir.substr(0, slash + 1) + link;
}

// Temporary files of writes that were killed before their rename. A live
// writer holds a lock on its own, so that one is left alone.
void removeLeftovers(const std::string& target) {
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp.";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (struct dirent* e = readdir(d)) {
        if (strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0)
            continue;
        std::string name = (slash == std::string::npos ? "" : dir) + e->d_name;
        int fd = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            flock(fd, LOCK_EX | LOCK_NB) == 0)
            unlink(name.c_str());
        if (fd >= 0)
            ::close(fd);
    }
    closedir(d);
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

bool Settings::writeSettings() {
    return writeSettingsTo(settingsPath.c_str());
}

bool Settings::writeSettingsTo(const char* path) {
    // Written to a temporary file beside the target and renamed over it, so a
    // crash or a full disk never leaves a truncated settings file behind.
    std::string target = writeTarget(path);
    struct stat old;
    bool exists = stat(target.c_str(), &old) == 0;
    if (exists && (!S_ISREG(old.st_mode) || (old.st_mode & 0222) == 0))
        return false; // a directory in the way, or a file the user made read-only

    // Created exclusively and never through a link: a planted symbolic link
    // cannot redirect the write.
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 256; ++attempt) {
        temp = target + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    exists ? (old.st_mode & 0777) : 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    (void)flock(fd, LOCK_EX); // marks the file as in use for removeLeftovers
    if (exists)
        (void)fchmod(fd, old.st_mode & 07777);
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
    ok = ok && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok)
        unlink(temp.c_str());
    fclose(file); // after the rename: the lock covers the whole write
    if (ok)
        removeLeftovers(target);
    return ok;
}

bool Settings::isUsableAddress(const char* text) {
    std::string_view t = trimAddress(text);
    if (t.empty())
        return false;
    for (char c : t)
        if (isControl((unsigned char)c))
            return false;
    return true;
}

std::string_view Settings::trimAddress(const char* text) {
    std::string_view t(text);
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!t.empty() && blank(t.front()))
        t.remove_prefix(1);
    while (!t.empty() && blank(t.back()))
        t.remove_suffix(1);
    return t;
}
