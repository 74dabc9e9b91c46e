#pragma once
// The engine and the procedures the window calls at start-up.

#include "app/Engine.h"
#include "audio/Audio.h"

namespace quellmarin {

// Sets the recorder (and through the shared format the player) to 20 000
// samples/s, 2000 samples per block, mono, 16-bit, in that order.
void SetupRecorder(TAudio* Audio);

}  // namespace quellmarin
