// While a session streams, the pump, the playout tick and the speaker's
// callback thread allocate nothing. Every allocation of the process goes
// through the counting malloc below; those made on the watched threads (known
// by their names) are counted. The stream is jittery and reordered but well
// formed: a malformed datagram or a receive time-out is reported by a thrown
// fault, and the C++ runtime allocates every thrown exception.
#include "Child.h"
#include "MicController.h"
#include "RecordingAudioBackend.h"
#include "RecordingMicDriver.h"
#include "Settings.h"
#include "StateRecorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <set>
#include <string>
#include <sys/prctl.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VOXLET_COUNT_ALLOCATIONS 0
#else
#define VOXLET_COUNT_ALLOCATIONS 1
#endif

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gPump{0}, gTick{0}, gSpeaker{0};

[[maybe_unused]] void countAllocation() {
    if (!gCounting.load(std::memory_order_relaxed))
        return;
    char name[17] = {0};
    if (prctl(PR_GET_NAME, name) != 0)
        return;
    if (strcmp(name, "vx-pump") == 0)
        gPump.fetch_add(1);
    else if (strcmp(name, "vx-tick") == 0)
        gTick.fetch_add(1);
    else if (strcmp(name, "vx-speaker") == 0)
        gSpeaker.fetch_add(1);
}

std::set<std::string> threadNames() {
    std::set<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return names;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.insert(name);
    }
    closedir(dir);
    return names;
}

} // namespace

#if VOXLET_COUNT_ALLOCATIONS
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t size) {
    countAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    countAllocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    countAllocation();
    return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) {
    countAllocation();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    void* p = memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}
}
#endif

namespace {

using namespace std::chrono_literals;

TEST(Streaming, PumpTickAndSpeakerAllocateNothing) {
    if (!VOXLET_COUNT_ALLOCATIONS)
        GTEST_SKIP() << "the sanitizers bring their own allocator";
    RecordingMicDriverInstaller mic;
    RecordingAudioBackendInstaller speaker;
    StateRecorder states;
    PhoneProcess phone({"--tone", "440", "--jitter", "10", "--reorder", "5", "--seed", "3"});
    Settings::setTransportType(3);
    Settings::setWifiServerAddr("127.0.0.1");
    Settings::setControlPort(phone.port());
    Settings::setMediaPort(freeUdpPort());
    Settings::setPlayLocally(true);

    MicController controller(&states);
    ASSERT_EQ(controller.start(), 0);
    ASSERT_TRUE(mic->waitForWrites(20));
    ASSERT_TRUE(speaker.recording().waitForBuffers(20));

    std::set<std::string> names = threadNames();
    for (const char* watched : {"vx-pump", "vx-tick", "vx-speaker"})
        ASSERT_TRUE(names.count(watched)) << watched << " is not running under its name";

    gCounting = true;
    int from = mic->writeCount();
    int buffersFrom = speaker.recording().buffersPlayed();
    ASSERT_TRUE(mic->waitForWrites(from + 260));
    gCounting = false;
    EXPECT_GE(speaker.recording().buffersPlayed() - buffersFrom, 250);

    controller.stop();
    ASSERT_TRUE(states.waitForIdle());
    EXPECT_EQ(gPump.load(), 0);
    EXPECT_EQ(gTick.load(), 0);
    EXPECT_EQ(gSpeaker.load(), 0);
}

} // namespace
