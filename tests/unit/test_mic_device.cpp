// The virtual microphone's client side against a recording driver: frames
// while open, nothing otherwise, and each connection closed once. Then the IOKit registry's own
// contract: replacement, unregistration, closed handles, a close from inside a call.
#include "MicDevice.h"
#include "RecordingMicDriver.h"

#include <IOKit/IOKitLib.h>
#include <darwin/IOKitDriver.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

// (Whole 960-sample frames, the connection type and the close after a session
// are checked by sessions; a missing server and failing writes by the audio
// suite.)
TEST(MicDeviceTest, FramesReachTheDriverWholeOnlyWhileOpenAndEachConnectionClosesOnce) {
    RecordingMicDriverInstaller mic;
    auto device = std::make_unique<MicDevice>();
    std::vector<short> small(320);
    for (size_t i = 0; i < small.size(); ++i)
        small[i] = short(i * 31 - 500);
    EXPECT_FALSE(device->write(small.data(), 320)); // before open
    ASSERT_EQ(device->open(), 1);
    EXPECT_TRUE(device->write(small.data(), 320));
    EXPECT_TRUE(device->write(nullptr, 0));
    // Counts the request cannot carry are refused before any call.
    for (int bad : {-1, 961})
        EXPECT_FALSE(device->write(small.data(), bad)) << bad;
    EXPECT_FALSE(device->write(nullptr, 10));
    ASSERT_EQ(device->open(), 1); // reopening does not strand the first connection
    EXPECT_EQ(mic->openConnections(), 1);
    device->close();
    const int closes = mic->closes.load();
    device->close();
    device.reset();
    EXPECT_EQ(mic->closes.load(), closes) << "closed once, not again by the destructor";
    EXPECT_EQ(mic->malformedCount(), 0);
    std::vector<MicFrame> frames = mic->frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].pcm(), std::vector<int16_t>(small.begin(), small.end()));
    EXPECT_EQ(frames[1].sampleCount, 0);
    {
        MicDevice open;
        ASSERT_EQ(open.open(), 1);
    } // the destructor closes an open device
    EXPECT_EQ(mic->openConnections(), 0);

    // A missing or refusing driver: closed, quiet, nothing written.
    MicDevice other;
    mic->available = false;
    testing::internal::CaptureStderr();
    EXPECT_EQ(other.open(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    mic->available = true;
    mic->refuseOpen = true;
    const int closesBefore = mic->closes.load();
    EXPECT_EQ(other.open(), 0);
    EXPECT_EQ(mic->closes.load(), closesBefore);
    EXPECT_FALSE(other.write(small.data(), 1));
    EXPECT_EQ(mic->frames().size(), 2u);
}

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
