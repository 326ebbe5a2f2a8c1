// The IOKit registry stand-in: user-space drivers under their service class
// names, and the handles the IOKit calls hand out for them.
//
// Handles of every kind (iterator, service, connection) come from one counter
// and are never 0. A service handle names one driver object (weakly: a driver
// dropped from the registry and held by nobody can no longer be opened). The
// connections live in a fixed table so that IOConnectCallMethod, called every
// 20 ms by the playout tick, finds its user client without allocating; the
// call itself runs with no registry lock held.
#include "Builtins.h"

#include <IOKit/IOKitLib.h>
#include <darwin/IOKitDriver.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

const mach_port_t kIOMasterPortDefault = 0;

// The matching "dictionary": only the class name matters here.
struct __CFDictionary {
    std::string className;
};

namespace {

constexpr int kMaxConnections = 64;

struct Service {
    io_service_t handle;
    std::weak_ptr<darwin::IOServiceDriver> driver;
};

struct Iterator {
    std::vector<io_service_t> services;
    size_t next = 0;
};

// The built-in driver of one class, made once, outside the registry lock.
struct BuiltinSlot {
    std::once_flag made;
    std::shared_ptr<darwin::IOServiceDriver> driver; // written once under `made`
};

struct Connection {
    io_connect_t handle = 0; // 0: free slot
    std::shared_ptr<darwin::IOUserClient> client;
};

// One per process. `mutex` guards every member; it is never held while a
// driver or user client runs (isAvailable, newUserClient, externalMethod and
// user-client destructors are all called after unlocking), so drivers may take
// locks of their own and may call back into IOKit.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<darwin::IOServiceDriver>> registered;
    // Built-in answers, asked once per class name (a null answer is kept too).
    std::map<std::string, std::shared_ptr<BuiltinSlot>> builtins;
    std::vector<Service> services;
    std::map<io_object_t, Iterator> iterators;
    Connection connections[kMaxConnections];
    io_object_t lastHandle = 0;

    io_object_t newHandle() {
        if (++lastHandle == 0) {
            ++lastHandle;
        }
        return lastHandle;
    }

    Connection* findConnection(io_connect_t handle) {
        for (Connection& c : connections) {
            if (c.handle == handle) {
                return &c;
            }
        }
        return nullptr;
    }

    Service* findService(io_service_t handle) {
        for (Service& s : services) {
            if (s.handle == handle) {
                return &s;
            }
        }
        return nullptr;
    }
};

Registry& registry() {
    static Registry instance;
    return instance;
}

// The driver that serves `className` now: a registered one, else the built-in.
std::shared_ptr<darwin::IOServiceDriver> driverFor(const std::string& className) {
    Registry& r = registry();
    std::shared_ptr<BuiltinSlot> slot;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto found = r.registered.find(className);
        if (found != r.registered.end()) {
            return found->second;
        }
        std::shared_ptr<BuiltinSlot>& entry = r.builtins[className];
        if (!entry) {
            entry = std::make_shared<BuiltinSlot>();
        }
        slot = entry;
    }
    // A built-in driver may be slow to construct: made unlocked, and only once.
    std::call_once(slot->made, [&] { slot->driver = darwin::builtinServiceDriver(className); });
    return slot->driver;
}

} // namespace

namespace darwin {

void IORegisterServiceDriver(const std::string& className,
                             std::shared_ptr<IOServiceDriver> driver) {
    Registry& r = registry();
    std::shared_ptr<IOServiceDriver> previous;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto found = r.registered.find(className);
        if (found != r.registered.end()) {
            previous = std::move(found->second);
            r.registered.erase(found);
        }
        if (driver) {
            r.registered.emplace(className, std::move(driver));
        }
    }
    // `previous` may be the last reference: its destructor runs unlocked.
}

} // namespace darwin

CFMutableDictionaryRef IOServiceMatching(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    return new __CFDictionary{name};
}

kern_return_t IOServiceGetMatchingServices(mach_port_t /*masterPort*/, CFDictionaryRef matching,
                                           io_iterator_t* existing) {
    // Consumed whatever happens.
    std::unique_ptr<const __CFDictionary> dictionary(matching);
    if (existing == nullptr) {
        return kIOReturnBadArgument;
    }
    *existing = 0;
    if (!dictionary) {
        return kIOReturnBadArgument;
    }

    std::shared_ptr<darwin::IOServiceDriver> driver = driverFor(dictionary->className);
    const bool available = driver && driver->isAvailable();

    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    Iterator iterator;
    if (available) {
        io_service_t service = 0;
        for (auto it = r.services.begin(); it != r.services.end();) {
            std::shared_ptr<darwin::IOServiceDriver> held = it->driver.lock();
            if (!held) {
                it = r.services.erase(it); // its driver is gone for good
                continue;
            }
            if (held == driver) {
                service = it->handle;
            }
            ++it;
        }
        if (service == 0) {
            service = r.newHandle();
            r.services.push_back(Service{service, driver});
        }
        iterator.services.push_back(service);
    }
    io_iterator_t handle = r.newHandle();
    r.iterators.emplace(handle, std::move(iterator));
    *existing = handle;
    return kIOReturnSuccess;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto found = r.iterators.find(iterator);
    if (found == r.iterators.end() || found->second.next >= found->second.services.size()) {
        return 0;
    }
    return found->second.services[found->second.next++];
}

kern_return_t IOObjectRelease(io_object_t object) {
    if (object == 0) {
        return kIOReturnBadArgument;
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.iterators.erase(object) > 0) {
        return kIOReturnSuccess;
    }
    // Services and connections are released by their own means (the driver
    // going away, IOServiceClose); releasing the handle is harmless.
    if (r.findService(object) != nullptr || r.findConnection(object) != nullptr) {
        return kIOReturnSuccess;
    }
    return kIOReturnBadArgument;
}

kern_return_t IOServiceOpen(io_service_t service, task_port_t /*owningTask*/, uint32_t type,
                            io_connect_t* connect) {
    if (connect == nullptr) {
        return kIOReturnBadArgument;
    }
    *connect = 0;
    if (service == 0) {
        return kIOReturnNoDevice;
    }
    Registry& r = registry();
    std::shared_ptr<darwin::IOServiceDriver> driver;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        Service* found = r.findService(service);
        if (found != nullptr) {
            driver = found->driver.lock();
        }
    }
    if (!driver || !driver->isAvailable()) {
        return kIOReturnNoDevice;
    }
    std::shared_ptr<darwin::IOUserClient> client = driver->newUserClient(type);
    if (!client) {
        return kIOReturnNotAttached;
    }
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        Connection* slot = r.findConnection(0);
        if (slot != nullptr) {
            slot->handle = r.newHandle();
            slot->client = std::move(client);
            *connect = slot->handle;
            return kIOReturnSuccess;
        }
    }
    // No free slot: `client` is destroyed here, unlocked.
    return kIOReturnNoResources;
}

kern_return_t IOServiceClose(io_connect_t connect) {
    if (connect == 0) {
        return kIOReturnBadArgument;
    }
    Registry& r = registry();
    std::shared_ptr<darwin::IOUserClient> client;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        Connection* slot = r.findConnection(connect);
        if (slot == nullptr) {
            return kIOReturnNotOpen;
        }
        client = std::move(slot->client);
        slot->handle = 0;
    }
    // The user client's destructor runs here, unlocked; a call still running
    // on another thread keeps it alive until that call returns.
    client.reset();
    return kIOReturnSuccess;
}

kern_return_t IOConnectCallMethod(mach_port_t connection, uint32_t selector, const uint64_t* input,
                                  uint32_t inputCnt, const void* inputStruct, size_t inputStructCnt,
                                  uint64_t* output, uint32_t* outputCnt, void* outputStruct,
                                  size_t* outputStructCnt) {
    if (connection == 0) {
        return kIOReturnNotOpen;
    }
    Registry& r = registry();
    std::shared_ptr<darwin::IOUserClient> client;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        Connection* slot = r.findConnection(connection);
        if (slot != nullptr) {
            client = slot->client; // a reference count, no allocation
        }
    }
    if (!client) {
        return kIOReturnNotOpen;
    }
    return client->externalMethod(selector, input, inputCnt, inputStruct, inputStructCnt, output,
                                  outputCnt, outputStruct, outputStructCnt);
}
