// What every harness shares: the input as a scratch file, and in a build
// without libFuzzer (gcc, sanitizers) a main that replays the seed corpus and
// past findings as a regression test: arguments are directories of inputs.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// The input written to a file (in memory when /dev/shm allows), removed at exit.
inline const char* scratchWrite(const uint8_t* data, size_t size) {
    static const std::string path =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/voxlet-fuzz-" +
        std::to_string(getpid());
    static const int removed = atexit([] { unlink(path.c_str()); });
    FILE* f = fopen(path.c_str(), "wb");
    if (removed != 0 || !f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    return path.c_str();
}

#ifdef VOXLET_FUZZ_REPLAY
int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i)
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++count;
        }
    printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1; // an empty corpus means the test ran nothing
}
#endif
