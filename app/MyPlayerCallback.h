// The session controller's reports, handed to the window's controller.
#pragma once

#include "PlayerCallback.h"

class vxAppDelegate;

// Called on the session controller's start, stop and abort threads; forwards
// to vxAppDelegate::onStateChange, which only records and queues.
class MyPlayerCallback final : public PlayerCallback {
  public:
    explicit MyPlayerCallback(vxAppDelegate* delegate) : mDelegate(delegate) {}
    void notifyStateChange(int state, int error) override;

  private:
    vxAppDelegate* mDelegate; // outlives the session controller that calls us
};
