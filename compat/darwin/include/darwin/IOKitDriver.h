// User-space drivers behind the IOKit stand-in. A driver registers under a
// service class name; IOServiceOpen asks it for a user client, and
// IOConnectCallMethod hands the call to that client.
#pragma once

#include <IOKit/IOKitLib.h>

#include <memory>
#include <string>

namespace darwin {

// One open connection to a driver. Its destructor runs at IOServiceClose.
class IOUserClient {
  public:
    virtual ~IOUserClient() = default;
    // The user client's external method; called on the caller's thread with no
    // registry lock held. Must not block when the driver serves a real-time path.
    virtual IOReturn externalMethod(uint32_t selector, const uint64_t* scalarIn,
                                    uint32_t scalarInCount, const void* structIn,
                                    size_t structInSize, uint64_t* scalarOut,
                                    uint32_t* scalarOutCount, void* structOut,
                                    size_t* structOutSize) = 0;
};

class IOServiceDriver {
  public:
    virtual ~IOServiceDriver() = default;
    // Whether the driver's back end is there now; a driver that is not does not match.
    virtual bool isAvailable() = 0;
    // A new connection of the given type, or null when it cannot be opened.
    virtual std::unique_ptr<IOUserClient> newUserClient(uint32_t type) = 0;
};

// Registers `driver` under `className`, replacing any driver registered there
// before (also a built-in one); null removes the registration. Connections
// already open stay with the driver that opened them.
void IORegisterServiceDriver(const std::string& className, std::shared_ptr<IOServiceDriver> driver);

} // namespace darwin
