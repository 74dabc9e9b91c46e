#pragma once
// The engine and the procedures the window calls at start-up and for the
// sound-system report.

#include <functional>
#include <string>

#include "app/Engine.h"
#include "audio/Audio.h"

namespace quellmarin {

// Sets the recorder (and through the shared format the player) to 20 000
// samples/s, 2000 samples per block, mono, 16-bit, in that order.
void SetupRecorder(TAudio* Audio);

// Receives one text of the sound-system report; the window's memo appends it
// as a line (a text with line breaks, such as the mixer listing with its
// "\r\n" between destinations, becomes several memo lines).
using TLineSink = std::function<void(const std::string& Line)>;

// Appends the sound-system report to Memo in four texts: the wave devices in
// use, named (on ALSA by the PCM's name and ALSA's description, input and
// output apart when they differ), and their capabilities
// (TAudio::QueryCapabilities), then the mixer's name and listing
// (TMixerSettings::Describe). Whatever the two queries return is appended,
// empty texts included, so every report has the same shape; the reason of a
// failed query is left in Audio's ErrorMessage. Returns whether the wave
// devices could be described.
// UI thread, only while neither recording nor playing: the capability query
// opens and closes the wave devices itself, and the output device closes from
// the message queue shortly after the call.
bool ReportSoundSystem(TAudio* Audio, const TLineSink& Memo);

}  // namespace quellmarin
