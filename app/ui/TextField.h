// A one-line text field of the window.
#pragma once

#include <cctype>
#include <climits>
#include <string>
#include <string_view>

namespace ui {

// The integer a field's text reads as: leading white space, one optional sign,
// then decimal digits up to the first non-digit; no digits reads as 0, and a
// value beyond the int range saturates.
inline int parseIntValue(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return value > INT_MAX ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

class TextField {
  public:
    virtual ~TextField() = default;

    // The text as UTF-8.
    virtual std::string stringValue() const = 0;
    virtual void setStringValue(const char* text) = 0;

    size_t length() const { return stringValue().size(); }
    int intValue() const { return parseIntValue(stringValue()); }
    void setIntValue(int value) { setStringValue(std::to_string(value).c_str()); }
};

} // namespace ui
