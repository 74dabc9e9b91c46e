#include "app/SoundSystemFactory.h"

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
  if (auto* alsa = dynamic_cast<const TAlsaSoundSystem*>(&System)) return alsa->Overruns() + alsa->Underruns();
  return 0;
}

}  // namespace quellmarin
