#include "Utils.h"

#include <climits>
#include <errno.h>
#include <stdlib.h>

int getAvailableUdpPort(int port) {
    return port;
}

bool parseLeadingInt(std::string_view text, size_t* pos, int* out) {
    size_t i = *pos;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    size_t digits = i;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value <= (long long)INT_MAX + 1)
            value = value * 10 + (text[i] - '0');
    }
    if (i == digits)
        return false;
    if (negative)
        value = -value;
    *out = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : (int)value;
    *pos = i;
    return true;
}

int leadingIntValue(std::string_view text) {
    size_t pos = 0;
    int value = 0;
    return parseLeadingInt(text, &pos, &value) ? value : 0;
}

bool parseIntInRange(const char* text, long min, long max, long* out, int base) {
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, base);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    *out = value;
    return true;
}
