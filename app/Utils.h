#pragma once
// Unit Utils: the processing engine (TFFT, app/Engine.h) and the procedures
// the window uses to set up the audio layer.

#include "app/Engine.h"

namespace quellmarin {

class TAudio;

// Sets the recorder, and through the shared format the player, to 20 000
// samples per second, 2000 samples per block, mono, 16 bits, in that order.
// UI thread, while no device is open.
void SetupRecorder(TAudio* Audio);

}  // namespace quellmarin
