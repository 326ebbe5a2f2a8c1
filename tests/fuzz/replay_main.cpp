// Replays fuzz inputs through a harness without libFuzzer, so every build
// (gcc, sanitizers) runs the seed corpus and past findings as a regression
// test. Arguments: files or directories of inputs.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    std::vector<uint8_t> data;
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    fclose(f);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::string> files;
        struct stat st;
        if (stat(argv[i], &st) == 0 && S_ISDIR(st.st_mode)) {
            if (DIR* d = opendir(argv[i])) {
                while (dirent* e = readdir(d))
                    if (e->d_name[0] != '.')
                        files.push_back(std::string(argv[i]) + "/" + e->d_name);
                closedir(d);
            }
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(argv[i]);
        }
        for (const std::string& file : files) {
            if (!replay(file)) {
                fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            ++count;
        }
    }
    printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1; // an empty corpus means the test ran nothing
}
