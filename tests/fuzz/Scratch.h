// The input written to a scratch file (in memory when /dev/shm allows),
// removed at exit.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

inline const std::string& scratchWrite(const char* name, const uint8_t* data, size_t size) {
    static const std::string path = [&] {
        static char p[96];
        snprintf(p, sizeof p, "%s/voxlet-fuzz-%d-%s",
                 access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp", (int)getpid(), name);
        atexit([] { unlink(p); });
        return std::string(p);
    }();
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    return path;
}
