// The input written to a scratch file (in memory when /dev/shm allows),
// removed at exit.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

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
