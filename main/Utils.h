// Small helpers shared by the client, its front ends and voxlet-phone.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string_view>

// The UDP port to bind for the media stream: the given one, unchanged.
int getAvailableUdpPort(int port);

// Wire fields are big-endian: the first byte is the most significant.
inline uint16_t readBe16(const unsigned char* p) {
    return (uint16_t)((p[0] << 8) | p[1]);
}
inline uint32_t readBe32(const unsigned char* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}
inline void writeBe32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

// The lenient reading of a number in the settings file and the window's
// fields: white space, one optional sign, then the digits up to the first
// non-digit, starting at *pos. Values beyond 32 bits saturate. False (and *pos
// unchanged) when there is no digit; otherwise *pos moves past the digits.
bool parseLeadingInt(std::string_view text, size_t* pos, int* out);
// The same for a whole field, where no digits read as 0.
int leadingIntValue(std::string_view text);

// The strict reading of a command-line number: the whole text is one integer
// within [min, max], decimal (or, with base 0, also 0x.. hexadecimal).
bool parseIntInRange(const char* text, long min, long max, long* out, int base = 10);
