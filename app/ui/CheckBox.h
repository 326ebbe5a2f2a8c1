// An on/off check box.
#pragma once

namespace ui {

class CheckBox {
  public:
    virtual ~CheckBox() = default;
    virtual int state() const = 0; // 1 on, 0 off
    virtual void setState(int state) = 0;
};

} // namespace ui
