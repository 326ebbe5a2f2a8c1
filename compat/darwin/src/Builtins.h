// The drivers and audio back ends that exist without a test installing its own.
#pragma once

#include <darwin/AudioQueueBackend.h>
#include <darwin/IOKitDriver.h>

#include <memory>
#include <string>

namespace darwin {

// The built-in driver for a service class, or null when none is built in.
// The registry asks once per class and keeps the answer.
std::shared_ptr<IOServiceDriver> builtinServiceDriver(const std::string& className);

// The factory an audio queue uses when none is installed; empty when there is
// no built-in output (then AudioQueueStart fails).
AudioQueueBackendFactory builtinAudioQueueBackendFactory();

} // namespace darwin
