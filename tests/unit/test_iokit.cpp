// The IOKit registry's own contract: replacement, unregistration, closed
// handles, a close from inside a call.
#include <IOKit/IOKitLib.h>
#include <darwin/IOKitDriver.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

// Answers selector 2 with its tag, so a test sees which driver served a call;
// selector 9 closes its own connection from inside the call.
struct TagDriver : darwin::IOServiceDriver {
    struct Client : darwin::IOUserClient {
        TagDriver& driver;
        explicit Client(TagDriver& d) : driver(d) { ++driver.liveClients; }
        ~Client() override { --driver.liveClients; }
        IOReturn externalMethod(uint32_t selector, const uint64_t*, uint32_t, const void*, size_t,
                                uint64_t* out, uint32_t*, void*, size_t*) override {
            if (selector == 9) {
                return IOServiceClose(driver.selfConnection);
            }
            *out = driver.tag;
            return kIOReturnSuccess;
        }
    };
    explicit TagDriver(uint64_t t) : tag(t) {}
    bool isAvailable() override { return true; }
    std::unique_ptr<darwin::IOUserClient> newUserClient(uint32_t) override {
        return std::make_unique<Client>(*this);
    }
    uint64_t tag;
    std::atomic<int> liveClients{0};
    io_connect_t selfConnection = 0;
};

constexpr const char* kClass = "voxlet_test_TagDevice";

io_connect_t openFirst() {
    io_iterator_t iterator = 0;
    IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching(kClass), &iterator);
    io_service_t service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    io_connect_t connection = 0;
    IOServiceOpen(service, mach_task_self(), 0, &connection);
    return connection;
}

IOReturn call(io_connect_t connection, uint32_t selector, uint64_t* tag) {
    uint32_t count = 1;
    return IOConnectCallMethod(connection, selector, nullptr, 0, nullptr, 0, tag, &count, nullptr,
                               nullptr);
}

} // namespace

TEST(IOKitTest, ReplacementUnregistrationAndClosesKeepEachConnectionWithItsDriver) {
    auto first = std::make_shared<TagDriver>(1);
    auto second = std::make_shared<TagDriver>(2);
    darwin::IORegisterServiceDriver(kClass, first);
    const io_connect_t old = openFirst();
    darwin::IORegisterServiceDriver(kClass, second);
    const io_connect_t fresh = openFirst();
    ASSERT_NE(old, 0u);
    ASSERT_NE(fresh, 0u);
    uint64_t tag = 0;
    EXPECT_EQ(call(old, 2, &tag), kIOReturnSuccess);
    EXPECT_EQ(tag, 1u);
    EXPECT_EQ(call(fresh, 2, &tag), kIOReturnSuccess);
    EXPECT_EQ(tag, 2u);

    darwin::IORegisterServiceDriver(kClass, nullptr); // unregistered: nothing matches
    EXPECT_EQ(openFirst(), 0u);
    EXPECT_EQ(call(fresh, 2, &tag), kIOReturnSuccess);

    EXPECT_EQ(IOServiceClose(old), kIOReturnSuccess);
    EXPECT_EQ(first->liveClients.load(), 0); // the user client dies at close
    EXPECT_EQ(call(old, 2, &tag), kIOReturnNotOpen);
    EXPECT_EQ(IOServiceClose(old), kIOReturnNotOpen);
    EXPECT_EQ(call(0, 2, &tag), kIOReturnNotOpen);
    EXPECT_NE(IOServiceClose(0), kIOReturnSuccess);

    // Closing the connection from inside its own call neither deadlocks on the
    // registry nor frees the client under the running call.
    second->selfConnection = fresh;
    EXPECT_EQ(call(fresh, 9, &tag), kIOReturnSuccess);
    EXPECT_EQ(second->liveClients.load(), 0);
    EXPECT_EQ(call(fresh, 2, &tag), kIOReturnNotOpen);
}
