#include "MicDevice.h"
#include "RecordingMicDriver.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

std::vector<short> ramp(int count, short first) {
    std::vector<short> samples(count);
    for (int i = 0; i < count; ++i) {
        samples[i] = short(first + i);
    }
    return samples;
}

} // namespace

TEST(MicDeviceTest, FramesReachTheDriverWholeAndInOrderOnlyWhileOpen) {
    RecordingMicDriverInstaller mic;
    MicDevice device;
    std::vector<short> small = ramp(320, 100);
    std::vector<short> full = ramp(960, -500);
    EXPECT_FALSE(device.write(full.data(), 960)); // before open
    ASSERT_EQ(device.open(), 1);
    EXPECT_EQ(mic->opens(), 1);
    EXPECT_EQ(mic->lastConnectionType(), 0u);

    EXPECT_TRUE(device.write(small.data(), 320));
    EXPECT_TRUE(device.write(full.data(), 960));
    EXPECT_TRUE(device.write(nullptr, 0));
    // Counts the request cannot carry are refused before any call.
    EXPECT_FALSE(device.write(full.data(), -1));
    EXPECT_FALSE(device.write(full.data(), 961));
    EXPECT_FALSE(device.write(nullptr, 10));
    device.close();
    EXPECT_FALSE(device.write(full.data(), 960)); // after close

    // The driver refuses anything but a 1924-byte request with a sane count.
    EXPECT_EQ(mic->malformedCount(), 0);
    std::vector<MicFrame> frames = mic->frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].sampleCount, 320);
    EXPECT_EQ(frames[0].samples, std::vector<int16_t>(small.begin(), small.end()));
    EXPECT_EQ(frames[1].sampleCount, 960);
    EXPECT_EQ(frames[1].samples, std::vector<int16_t>(full.begin(), full.end()));
    EXPECT_EQ(frames[2].sampleCount, 0);
    EXPECT_EQ(frames[0].thread, std::this_thread::get_id());
    EXPECT_EQ(mic->writeCount(), 3);
}

TEST(MicDeviceTest, CloseReleasesTheConnectionExactlyOnce) {
    RecordingMicDriverInstaller mic;
    {
        MicDevice device;
        ASSERT_EQ(device.open(), 1);
        device.close();
        device.close();
        EXPECT_EQ(mic->closes(), 1);
    } // the destructor after close closes nothing more
    EXPECT_EQ(mic->closes(), 1);

    {
        MicDevice device;
        ASSERT_EQ(device.open(), 1);
        ASSERT_EQ(device.open(), 1); // reopening does not strand the first connection
        EXPECT_EQ(mic->openConnections(), 1);
    } // the destructor closes an open device
    EXPECT_EQ(mic->openConnections(), 0);
}

TEST(MicDeviceTest, MissingOrRefusingDriverLeavesTheDeviceClosedAndQuiet) {
    RecordingMicDriverInstaller mic;
    MicDevice device;
    EXPECT_EQ(device.isActive(), 1);
    EXPECT_EQ(device.getDriverVersion(), 3);

    mic->setAvailable(false);
    testing::internal::CaptureStderr();
    EXPECT_EQ(device.open(), 0);
    EXPECT_EQ(device.isActive(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(mic->opens(), 0);
    EXPECT_EQ(device.getDriverVersion(), 3);
    EXPECT_EQ(device.readDriverVersion(), 1);

    mic->setAvailable(true);
    mic->setRefuseOpen(true);
    EXPECT_EQ(device.open(), 0);
    EXPECT_EQ(mic->closes(), 0);
    short sample = 1;
    EXPECT_FALSE(device.write(&sample, 1));

    mic->setRefuseOpen(false);
    mic->setRefuseWrites(true);
    ASSERT_EQ(device.open(), 1);
    EXPECT_FALSE(device.write(&sample, 1));
    EXPECT_EQ(mic->refusedCount(), 1);
    EXPECT_TRUE(mic->frames().empty());
}
