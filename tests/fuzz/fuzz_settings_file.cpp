// The settings file round trip: whatever a file holds, what the store makes
// of it is written and read back to exactly the same values.
#include "Harness.h"
#include "Settings.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The written file replaces the input in place.
    const char* path = scratchWrite(data, size);
    Settings::readSettingsFrom(path);
    Values read = Values::now();
    if (!Settings::writeSettingsTo(path))
        abort();
    Settings::readSettingsFrom(path);
    if (!(Values::now() == read))
        abort(); // saved values do not read back as they were
    return 0;
}
