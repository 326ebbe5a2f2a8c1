// The Linux virtual microphone: an IOKit driver whose connections publish the
// sound server's input source "voxlet_mic" and feed the frames written to it.
#pragma once

#include <darwin/IOKitDriver.h>

#include <cstdint>
#include <memory>

namespace darwin::pulse {

// What the server shows: on PulseAudio a mono 48 kHz null sink (the feed) and
// a remap source over its monitor (the microphone every application lists); on
// PipeWire a source node of our own with the same name and description.
constexpr const char* kMicSourceName = "voxlet_mic";
constexpr const char* kMicSourceDescription = "Voxlet Microphone";
constexpr const char* kMicFeedSinkName = "voxlet_mic_feed";
constexpr uint32_t kMicRate = 48000;

// The write request of selector 2, host byte order, always whole:
//   offset 0   int32      sample count (0..960)
//   offset 4   int16[960] samples; the first `sample count` carry the frame
constexpr uint32_t kMicWriteSelector = 2;
constexpr int kMicMaxSamples = 960;
constexpr size_t kMicRequestSize = 4 + 2 * kMicMaxSamples;

// The driver registered under the virtual microphone's service class. It
// matches while a sound server answers. All connections open at once share one
// source; the last one closed removes it and everything loaded for it.
std::shared_ptr<IOServiceDriver> newMicDriver();

// Keeps the source published from now until stopKeepingMic (or process exit):
// published as soon as a server answers, again after one died or appeared,
// silent between sessions. Connections opened meanwhile only write into it.
void keepMicPublished();
// Removes the source and everything loaded for it; the process goes back to
// publishing per connection.
void stopKeepingMic();
// The feed stream's latency (write to source) at its last write, in
// microseconds; -1 when nothing is published.
int64_t micLatencyUs();

// Frames the feed dropped to keep the source's backlog bounded, since the
// process started (for diagnostics and tests).
uint64_t micFramesTrimmed();

} // namespace darwin::pulse
