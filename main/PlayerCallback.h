#pragma once

// Receives the session controller's state reports, on its start, stop and
// abort threads (the stop and abort ones with the controller's mutex held):
// an implementation returns promptly and never waits for the controller.
class PlayerCallback {
  public:
    virtual void notifyStateChange(int state, int error) = 0;
};
