// Hands work to the user-interface thread.
#pragma once

#include <functional>

namespace ui {

class UiThread {
  public:
    virtual ~UiThread() = default;
    // Callable from any thread: queues `op` to run later on the UI thread, in
    // the order queued, and returns without waiting for it.
    virtual void performLater(std::function<void()> op) = 0;
};

} // namespace ui
