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
#include <string>
#include <vector>

#include "soundsystem/SoundSystem.h"

namespace quellmarin {

enum TSoundSystemChoice { scAutomatic = 0, scAlsa = 1, scVirtual = 2 };

std::unique_ptr<TSoundSystem> CreateSoundSystem(TSoundSystemChoice Choice = scAutomatic);

// Overruns and underruns the sound system recovered from so far, added up
// (its XrunCounts): for the status bar.
uint32_t SoundSystemXruns(const TSoundSystem& System);

// A wave device the user can choose: its number for the audio layer, the
// name the settings file keeps, and what the sound system says about it.
struct TWaveDevice {
  uint32_t ID = WAVE_MAPPER;
  std::string Name;
  std::string Description;
};

// The name of the sound system's default device (WAVE_MAPPER).
inline const char* const DefaultDeviceName = "default";

// The devices for one direction, read afresh: "default" first, then on ALSA
// every PCM its hints list for that direction (the sound server's own
// included), on another sound system each device by its product name.
std::vector<TWaveDevice> WaveDevices(TSoundSystem& System, bool Input);
// The device of that name in WaveDevices; false when there is none now.
bool FindWaveDevice(TSoundSystem& System, bool Input, const std::string& Name, TWaveDevice& Device);
// Names a device number for the sound-system report: on ALSA the PCM's name
// and ALSA's description of it ("ALSA \"pulse\" (PulseAudio Sound Server)");
// empty when the sound system has no more to say than the device's product
// name.
std::string WaveDeviceTitle(TSoundSystem& System, uint32_t DeviceID);

}  // namespace quellmarin
