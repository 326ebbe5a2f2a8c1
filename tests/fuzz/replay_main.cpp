// Replays fuzz inputs through a harness without libFuzzer, so every build
// (gcc, sanitizers) runs the seed corpus and past findings as a regression
// test. Arguments: directories of inputs.
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

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
