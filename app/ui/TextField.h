// A one-line text field of the window.
#pragma once

#include "Utils.h"

#include <string>
#include <string_view>

namespace ui {

class TextField {
  public:
    virtual ~TextField() = default;

    // The text as UTF-8.
    virtual std::string stringValue() const = 0;
    virtual void setStringValue(const char* text) = 0;

    size_t length() const { return stringValue().size(); }
    // Leading white space, an optional sign, the digits up to the first
    // non-digit; no digits read as 0, values beyond the int range saturate.
    int intValue() const { return leadingIntValue(stringValue()); }
    void setIntValue(int value) { setStringValue(std::to_string(value).c_str()); }
};

} // namespace ui
