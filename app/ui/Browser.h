// The user's default web browser.
#pragma once

namespace ui {

class Browser {
  public:
    virtual ~Browser() = default;
    // False when no browser could be asked.
    virtual bool openUrl(const char* url) = 0;
};

} // namespace ui
