// A spinning busy indicator.
#pragma once

namespace ui {

class ProgressIndicator {
  public:
    virtual ~ProgressIndicator() = default;
    virtual bool isHidden() const = 0;
    virtual void setHidden(bool hidden) = 0;
    virtual void startAnimation() = 0;
    virtual void stopAnimation() = 0;
};

} // namespace ui
