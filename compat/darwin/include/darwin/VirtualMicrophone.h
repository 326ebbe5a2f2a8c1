// The virtual microphone for a program's whole run. The driver it stands for
// exists whenever the computer runs; here a front end keeps it for as long as
// the program runs: the source appears as soon as a sound server answers
// (also one that appears or comes back later), carries silence between
// sessions, and goes, with everything loaded for it, when the keeping stops.
// Sessions open and close their connections to it as before.
#pragma once

#include <cstdint>

namespace darwin {

// Main thread of a front end. Idempotent; no-ops without a sound back end.
void startVirtualMicrophone();
void stopVirtualMicrophone();

// The back end's own latency, from a frame's write to the source, at its last
// write, in microseconds; -1 when unknown. Any thread.
int64_t virtualMicrophoneLatencyUs();

// Keeps the virtual microphone for the scope of a front end's main().
class VirtualMicrophoneScope {
  public:
    VirtualMicrophoneScope() { startVirtualMicrophone(); }
    ~VirtualMicrophoneScope() { stopVirtualMicrophone(); }
    VirtualMicrophoneScope(const VirtualMicrophoneScope&) = delete;
    VirtualMicrophoneScope& operator=(const VirtualMicrophoneScope&) = delete;
};

} // namespace darwin
