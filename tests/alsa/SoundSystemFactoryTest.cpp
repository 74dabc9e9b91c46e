// The program's choice of sound system: ALSA when its default device answers,
// otherwise the virtual card; the names say which.

#include <gtest/gtest.h>

#include <fstream>

#include "alsa/AlsaTestConfig.h"
#include "app/SoundSystemFactory.h"

namespace quellmarin::testing {
namespace {

TEST(SoundSystemFactory, PicksAlsaWhenItAnswersAndTheVirtualCardOtherwise) {
  TAlsaTestConfig Config;
  {
    auto Sys = CreateSoundSystem();
    EXPECT_EQ(Sys->Name(), "ALSA");
    WAVEOUTCAPSA Caps;
    ASSERT_EQ(Sys->waveOutGetDevCapsA(WAVE_MAPPER, &Caps, sizeof Caps), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(Caps.szPname).rfind("ALSA", 0), 0u) << Caps.szPname;
    EXPECT_EQ(SoundSystemXruns(*Sys), 0u);
  }
  int Card = -1;
  if (snd_card_next(&Card) >= 0 && Card >= 0) GTEST_SKIP() << "this machine has a sound card";
  // An ALSA without devices: nothing answers.
  std::ofstream(Config.Dir() + "/empty.conf") << "\n";
  setenv("ALSA_CONFIG_PATH", (Config.Dir() + "/empty.conf").c_str(), 1);
  auto Sys = CreateSoundSystem();
  EXPECT_EQ(Sys->Name(), "Virtual sound card");
  MIXERCAPSA Mixer;
  ASSERT_EQ(Sys->mixerGetDevCapsA(0, &Mixer, sizeof Mixer), MMSYSERR_NOERROR);
  EXPECT_STREQ(Mixer.szPname, "Virtual Mixer");
  EXPECT_EQ(CreateSoundSystem(scAlsa)->Name(), "ALSA");
}

}  // namespace
}  // namespace quellmarin::testing
