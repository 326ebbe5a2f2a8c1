// The speaker: an output audio queue's back end on a PulseAudio-compatible
// server, playing on the computer's default output (never the virtual
// microphone's feed).
#pragma once

#include <darwin/AudioQueueBackend.h>

#include <memory>

namespace darwin::pulse {

std::unique_ptr<AudioQueueBackend> newSpeakerBackend();

} // namespace darwin::pulse
