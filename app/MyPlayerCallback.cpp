#include "MyPlayerCallback.h"

#include "vxAppDelegate.h"

void MyPlayerCallback::notifyStateChange(int state, int error) {
    mDelegate->onStateChange(state, error);
}
