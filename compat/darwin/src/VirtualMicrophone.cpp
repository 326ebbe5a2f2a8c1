#include <darwin/VirtualMicrophone.h>

#ifdef VOXLET_HAVE_PULSE
#include "PulseMic.h"
#endif

namespace darwin {

#ifdef VOXLET_HAVE_PULSE
void startVirtualMicrophone() {
    pulse::keepMicPublished();
}
void stopVirtualMicrophone() {
    pulse::stopKeepingMic();
}
int64_t virtualMicrophoneLatencyUs() {
    return pulse::micLatencyUs();
}
#else
void startVirtualMicrophone() {}
void stopVirtualMicrophone() {}
int64_t virtualMicrophoneLatencyUs() {
    return -1;
}
#endif

} // namespace darwin
