// The modal warning alert.
#pragma once

namespace ui {

class Alert {
  public:
    virtual ~Alert() = default;
    // Shows `message` with a single dismiss button and returns once the user
    // dismissed it. The platform's modal loop may run other queued UI-thread
    // operations meanwhile; the controller copes with that.
    virtual void runModal(const char* message) = 0;
};

} // namespace ui
