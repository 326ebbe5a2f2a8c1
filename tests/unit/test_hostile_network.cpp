// The phone link against other local users and slow teardown: the media port
// is ours alone, requests leave in one piece, a waiting receive wakes at
// teardown, and a stop or abort ends only the session it was issued for.
#include "Child.h"
#include "Kit.h"
#include "MediaStream.h"
#include "MicController.h"
#include "RecordingAudioBackend.h"
#include "RecordingMicDriver.h"
#include "RemoteDevice.h"
#include "Settings.h"
#include "StateRecorder.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

using namespace kit;
using namespace std::chrono_literals;

namespace {

// Another user's socket on the port, with `option` (0 for none) set; -1 when
// it cannot bind. The descriptor is closed in any case unless `keep`.
int squat(const char* ip, int port, int option, bool keep = true) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0), on = 1;
    if (option != 0)
        setsockopt(fd, SOL_SOCKET, option, &on, sizeof on);
    sockaddr_in a = ipv4(ip, port);
    bool bound = bind(fd, (sockaddr*)&a, sizeof a) == 0;
    if (!bound || !keep)
        close(fd);
    return bound ? fd : -1;
}

void configure(int controlPort, int mediaPort, const char* host = "127.0.0.1") {
    Settings::setTransportType(3);
    Settings::setWifiServerAddr(host);
    Settings::setControlPort(controlPort);
    Settings::setMediaPort(mediaPort);
}

} // namespace

TEST(HostileNetwork, NobodyElseSharesTheMediaPort) {
    for (const char* ip : {"0.0.0.0", "127.0.0.1"}) {
        for (int option : {0, SO_REUSEADDR, SO_REUSEPORT}) {
            int port = freeUdpPort();
            int squatter = squat(ip, port, option); // before the session
            ASSERT_GE(squatter, 0);
            WifiMediaStream before(port);
            EXPECT_EQ(-1, before.open()) << ip << " option " << option;
            close(squatter);

            WifiMediaStream ours(port); // during the session
            ASSERT_EQ(0, ours.open());
            EXPECT_EQ(-1, squat(ip, port, option, false)) << ip << " option " << option;
            ours.close();
        }
    }
}

// Split requests wait for the peer's delayed acknowledgement: each one must be
// readable whole as soon as any of it is.
TEST(HostileNetwork, PortZeroIsRefusedUnsentAndEachRequestLeavesInOneSegment) {
    int listener = boundSocket(SOCK_STREAM);
    listen(listener, 4);
    int port = localPort(listener);
    RemoteDevice device;
    configure(port, 0);
    EXPECT_EQ(ErrorMediaSocket, device.setUp());
    EXPECT_FALSE(readable(listener, 100)) << "connected although the media port is unusable";
    configure(port, freeUdpPort(), " 127.0.0.1\r"); // as a CRLF file leaves it
    ASSERT_EQ(0, device.setUp());
    int peer = accept(listener, nullptr, nullptr);
    struct {
        std::function<int()> request;
        size_t size;
        Bytes reply;
    } steps[] = {
        {[&] { return device.checkServerProtocolVersion(nullptr); }, 11, {0x65, 0, 0, 0, 2, 0, 1}},
        {[&] { return device.setCodecParameters(2, 2); }, 11, {0x66, 0, 0, 0, 1, 0}},
        {[&] { return device.start(); }, 5, {0x67, 0, 0, 0, 1, 0}},
        {[&] { return device.poll(); }, 5, {}},
        {[&] { return device.stop(); }, 5, {0x68, 0, 0, 0, 1, 0}},
    };
    for (auto& step : steps) {
        int result = -1;
        std::thread client([&] { result = step.request(); });
        ASSERT_TRUE(readable(peer, 2000));
        unsigned char got[64];
        EXPECT_EQ((ssize_t)step.size, recv(peer, got, sizeof got, MSG_DONTWAIT));
        if (!step.reply.empty())
            sendAll(peer, step.reply);
        client.join();
        EXPECT_EQ(0, result);
    }
    device.tearDown();
    close(peer);
    close(listener);
}

// Without the wake the read would end by its 3 s time-out instead.
TEST(HostileNetwork, TeardownEndsAWaitingReceiveAndEveryLaterOne) {
    WifiMediaStream stream(freeUdpPort());
    ASSERT_EQ(0, stream.open());
    unsigned char b[6];
    auto read = [&] { return faultOf([&] { stream.readData(b, 6); }); };
    int fault = -1;
    std::thread pump([&] { fault = read(); });
    std::this_thread::sleep_for(100ms);
    stream.interrupt();
    pump.join();
    EXPECT_EQ(FaultReceive, fault);
    EXPECT_EQ(FaultReceive, read());
    stream.close();
}

TEST(HostileNetwork, AStopOrAbortEndsOnlyItsOwnSession) {
    RecordingMicDriverInstaller mic;
    RecordingAudioBackendInstaller speaker;
    PhoneProcess phone({"--tone", "440"});
    configure(phone.port(), freeUdpPort());
    StateRecorder states;
    MicController controller(&states);
    ASSERT_EQ(0, controller.start());
    ASSERT_TRUE(states.waitFor(StateConnected));
    uint32_t first = controller.getSession();
    ASSERT_EQ(0, controller.stop());
    ASSERT_TRUE(states.waitForIdle());

    states.clear();
    ASSERT_EQ(0, controller.start());
    ASSERT_TRUE(states.waitFor(StateConnected));
    controller.stopInternal(first); // late threads of the first session
    controller.abortInternal(first, ErrorAborted);
    EXPECT_EQ(StateConnected, controller.getState());
    controller.stopInternal(controller.getSession());
    EXPECT_EQ((std::vector<StateRecorder::Report>{{1, 0}, {2, 0}, {3, 0}, {0, 0}}),
              states.reports());
}
