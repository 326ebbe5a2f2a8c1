// A push button; the window wires its press to an action of the controller.
#pragma once

namespace ui {

class PushButton {
  public:
    virtual ~PushButton() = default;
    virtual void setEnabled(bool enabled) = 0;
};

} // namespace ui
