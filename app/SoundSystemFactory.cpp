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
  const TXrunCounts Counts = System.XrunCounts();
  return Counts.Overruns + Counts.Underruns;
}

}  // namespace quellmarin
