#include "Builtins.h"

#ifdef VOXLET_HAVE_PULSE
#include "PulseMic.h"
#include "PulseSpeaker.h"
#endif

namespace darwin {

std::shared_ptr<IOServiceDriver> builtinServiceDriver(const std::string& className) {
#ifdef VOXLET_HAVE_PULSE
    if (className == "com_cycling74_driver_SoundflowerDevice")
        return pulse::newMicDriver();
#else
    (void)className;
#endif
    return nullptr;
}

AudioQueueBackendFactory builtinAudioQueueBackendFactory() {
#ifdef VOXLET_HAVE_PULSE
    return [] { return pulse::newSpeakerBackend(); };
#else
    return {};
#endif
}

} // namespace darwin
