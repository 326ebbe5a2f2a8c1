// The settings file round trip: whatever a file holds, what the store makes
// of it is written and read back to exactly the same values.
#include "Settings.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

struct Values {
    int transport, control, media, x, y, w, h;
    bool play, autoConnect;
    std::string address;

    static Values now() {
        Values v;
        v.transport = Settings::getTransportType();
        v.control = Settings::getControlPort();
        v.media = Settings::getMediaPort();
        Settings::getWindowPos(&v.x, &v.y, &v.w, &v.h);
        v.play = Settings::isPlayLocally();
        v.autoConnect = Settings::isAutoConnect();
        v.address = Settings::getWifiServerAddr();
        return v;
    }
    bool operator==(const Values&) const = default;
};

char gDir[64]; // the scratch directory, removed at exit

void removeScratch() {
    for (const char* name : {"/in.dat", "/settings.dat"})
        unlink((std::string(gDir) + name).c_str());
    rmdir(gDir);
}

std::string scratchDir() {
    snprintf(gDir, sizeof gDir, "%s/voxlet-fuzz-settings-%d",
             access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp", (int)getpid());
    mkdir(gDir, 0700);
    atexit(removeScratch);
    return gDir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = scratchDir();
    static const std::string in = dir + "/in.dat", out = dir + "/settings.dat";
    FILE* f = fopen(in.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    Settings::readSettingsFrom(in.c_str());
    Values read = Values::now();
    if (!Settings::writeSettingsTo(out.c_str()))
        abort();
    Settings::readSettingsFrom(out.c_str());
    if (!(Values::now() == read))
        abort(); // saved values do not read back as they were
    return 0;
}
