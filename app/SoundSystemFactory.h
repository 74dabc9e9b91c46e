#pragma once
// Which sound system the program runs on.
//
// CreateSoundSystem picks ALSA when ALSA has a sound card or its default
// device answers (a sound server such as PulseAudio or PipeWire), and
// otherwise the virtual sound card on its real-time clock, recording its
// built-in test signal, so the whole loop works on any machine. The choice is
// visible: Name() is "ALSA" or "Virtual sound card", and every device and
// mixer name says the same.
//
// Called on the UI thread at start-up.

#include <cstdint>
#include <memory>

#include "soundsystem/SoundSystem.h"

namespace quellmarin {

enum TSoundSystemChoice { scAutomatic = 0, scAlsa = 1, scVirtual = 2 };

std::unique_ptr<TSoundSystem> CreateSoundSystem(TSoundSystemChoice Choice = scAutomatic);

// Overruns and underruns the sound system recovered from so far, added up
// (its XrunCounts): for the status bar.
uint32_t SoundSystemXruns(const TSoundSystem& System);

}  // namespace quellmarin
