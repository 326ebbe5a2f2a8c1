// The virtual microphone's client side against a recording driver: whole
// frames in order while open, nothing otherwise, and each connection closed once.
#include "MicDevice.h"
#include "RecordingMicDriver.h"

#include <gtest/gtest.h>

#include <memory>

TEST(MicDeviceTest, FramesReachTheDriverWholeAndInOrderOnlyWhileOpenAndEachConnectionClosesOnce) {
    RecordingMicDriverInstaller mic;
    auto device = std::make_unique<MicDevice>();
    std::vector<short> small(320), full(960);
    for (size_t i = 0; i < full.size(); ++i)
        full[i] = short(i * 31 - 500), small[i % 320] = short(100 + i % 320);
    EXPECT_FALSE(device->write(full.data(), 960)); // before open
    ASSERT_EQ(device->open(), 1);
    EXPECT_EQ(mic->opens.load(), 1);
    EXPECT_EQ(mic->lastConnectionType.load(), 0u);
    EXPECT_TRUE(device->write(small.data(), 320));
    EXPECT_TRUE(device->write(full.data(), 960));
    EXPECT_TRUE(device->write(nullptr, 0));
    // Counts the request cannot carry are refused before any call.
    EXPECT_FALSE(device->write(full.data(), -1));
    EXPECT_FALSE(device->write(full.data(), 961));
    EXPECT_FALSE(device->write(nullptr, 10));
    ASSERT_EQ(device->open(), 1); // reopening does not strand the first connection
    EXPECT_EQ(mic->openConnections(), 1);
    device->close();
    const int closes = mic->closes.load();
    device->close();
    EXPECT_FALSE(device->write(full.data(), 960)); // after close
    device.reset();
    EXPECT_EQ(mic->closes.load(), closes) << "closed once, not again by the destructor";

    EXPECT_EQ(mic->malformedCount(), 0);
    std::vector<MicFrame> frames = mic->frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].pcm(), std::vector<int16_t>(small.begin(), small.end()));
    EXPECT_EQ(frames[1].pcm(), std::vector<int16_t>(full.begin(), full.end()));
    EXPECT_EQ(frames[2].sampleCount, 0);
    {
        MicDevice open;
        ASSERT_EQ(open.open(), 1);
    } // the destructor closes an open device
    EXPECT_EQ(mic->openConnections(), 0);
}

TEST(MicDeviceTest, MissingOrRefusingDriverLeavesTheDeviceClosedAndQuiet) {
    RecordingMicDriverInstaller mic;
    MicDevice device;
    EXPECT_EQ(device.isActive(), 1);
    mic->available = false;
    testing::internal::CaptureStderr();
    EXPECT_EQ(device.open(), 0);
    EXPECT_EQ(device.isActive(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(mic->opens.load(), 0);

    mic->available = true;
    mic->refuseOpen = true;
    EXPECT_EQ(device.open(), 0);
    EXPECT_EQ(mic->closes.load(), 0);
    short sample = 1;
    EXPECT_FALSE(device.write(&sample, 1));

    mic->refuseOpen = false;
    mic->refuseWrites = true;
    ASSERT_EQ(device.open(), 1);
    EXPECT_FALSE(device.write(&sample, 1));
    EXPECT_TRUE(mic->frames().empty());
}
