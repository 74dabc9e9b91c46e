#include "app/SoundSystemFactory.h"

#include <cstring>

#include "soundsystem/alsa/AlsaSoundSystem.h"
#include "soundsystem/virtual/VirtualSoundCard.h"

namespace quellmarin {

std::unique_ptr<TSoundSystem> CreateSoundSystem(TSoundSystemChoice Choice) {
  if (Choice == scAlsa || (Choice == scAutomatic && TAlsaSoundSystem::Available()))
    return std::make_unique<TAlsaSoundSystem>();
  auto card = std::make_unique<TVirtualSoundCard>(TVirtualSoundCard::ckRealTime);
  card->SetSignalSource(TVirtualSoundCard::ssTestSignal);
  card->SetKeepPlayed(false);
  return card;
}

uint32_t SoundSystemXruns(const TSoundSystem& System) {
  const TXrunCounts Counts = System.XrunCounts();
  return Counts.Overruns + Counts.Underruns;
}

std::vector<TWaveDevice> WaveDevices(TSoundSystem& System, bool Input) {
  std::vector<TWaveDevice> list;
  if (auto* alsa = dynamic_cast<TAlsaSoundSystem*>(&System)) {
    std::string name, description;
    alsa->DescribePcm(WAVE_MAPPER, name, description);
    list.push_back({WAVE_MAPPER, DefaultDeviceName, description});
    for (const auto& d : alsa->PcmDevices())
      if (Input ? d.Input : d.Output) list.push_back({d.ID, d.Name, d.Description});
    return list;
  }
  list.push_back({WAVE_MAPPER, DefaultDeviceName, ""});
  const uint32_t count = Input ? System.waveInGetNumDevs() : System.waveOutGetNumDevs();
  for (uint32_t i = 0; i < count; ++i) {
    char product[MAXPNAMELEN] = {};
    MMRESULT r;
    if (Input) {
      WAVEINCAPSA caps;
      r = System.waveInGetDevCapsA(i, &caps, sizeof caps);
      if (r == MMSYSERR_NOERROR) std::memcpy(product, caps.szPname, sizeof product);
    } else {
      WAVEOUTCAPSA caps;
      r = System.waveOutGetDevCapsA(i, &caps, sizeof caps);
      if (r == MMSYSERR_NOERROR) std::memcpy(product, caps.szPname, sizeof product);
    }
    product[MAXPNAMELEN - 1] = 0;
    // The product name alone may repeat: the number keeps the names apart.
    std::string name = r == MMSYSERR_NOERROR ? product : "";
    name = (name.empty() ? "Device" : name) + " #" + std::to_string(i);
    list.push_back({i, name, ""});
  }
  return list;
}

bool FindWaveDevice(TSoundSystem& System, bool Input, const std::string& Name, TWaveDevice& Device) {
  for (const TWaveDevice& d : WaveDevices(System, Input))
    if (d.Name == Name) {
      Device = d;
      return true;
    }
  return false;
}

std::string WaveDeviceTitle(TSoundSystem& System, uint32_t DeviceID) {
  auto* alsa = dynamic_cast<TAlsaSoundSystem*>(&System);
  std::string name, description;
  if (!alsa || !alsa->DescribePcm(DeviceID, name, description)) return "";
  std::string title = "ALSA \"" + name + "\"";
  if (!description.empty()) title += " (" + description + ")";
  return title;
}

}  // namespace quellmarin
