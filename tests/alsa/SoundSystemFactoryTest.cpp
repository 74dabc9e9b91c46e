// The program's choice of sound system: ALSA when its default device answers,
// otherwise the virtual card; the names say which. The device lists the
// window offers, and the device numbers behind them.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "alsa/AlsaTestConfig.h"
#include "app/SoundSystemFactory.h"
#include "soundsystem/alsa/AlsaSoundSystem.h"
#include "tests/soundsystem/ContractTarget.h"

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

// "default" first, then what ALSA's hints list for the direction; a number
// keeps its PCM while the list changes, and a PCM that is gone keeps its
// number, whose open then fails with ALSA's reason.
TEST(SoundSystemFactory, DeviceListsAndStableNumbers) {
  TAlsaTestConfig Config({}, "pcm.qmmic { type asym capture.pcm { type null } "
                             "hint { show on description \"Test microphone\nAnalog|IOIDInput\" } }\n");
  auto Made = CreateSoundSystem(scAlsa);
  auto& Sys = dynamic_cast<TAlsaSoundSystem&>(*Made);
  auto NamesOf = [](const std::vector<TWaveDevice>& List) {
    std::vector<std::string> Names;
    for (const auto& d : List) Names.push_back(d.Name);
    return Names;
  };
  const std::vector<std::string> Both = {"default", "qmcard", "qmbusy", "qmgone", "qmxrun", "qmsuspend"};
  std::vector<std::string> WithMic = Both;
  WithMic.push_back("qmmic");
  EXPECT_EQ(NamesOf(WaveDevices(Sys, false)), Both);
  const auto Inputs = WaveDevices(Sys, true);
  EXPECT_EQ(NamesOf(Inputs), WithMic);
  EXPECT_EQ(Inputs[0].ID, WAVE_MAPPER);
  EXPECT_EQ(Inputs[1].Description, "Quellmarin test card");
  EXPECT_EQ(Inputs[6].Description, "Test microphone, Analog");
  for (size_t i = 1; i < Inputs.size(); ++i) EXPECT_EQ(Inputs[i].ID, i - 1) << Inputs[i].Name;
  EXPECT_EQ(WaveDeviceTitle(Sys, Inputs[1].ID), "ALSA \"qmcard\" (Quellmarin test card)");
  EXPECT_EQ(WaveDeviceTitle(Sys, WAVE_MAPPER), "ALSA \"default\"");
  TWaveDevice Found;
  EXPECT_FALSE(FindWaveDevice(Sys, false, "qmmic", Found)) << "capture only";

  // The configuration changes: qmbusy goes, qmnew comes (ALSA reads the file again).
  std::string Text;
  {
    std::ifstream In(Config.Config());
    Text.assign(std::istreambuf_iterator<char>(In), {});
  }
  const size_t Busy = Text.find("pcm.qmbusy");
  ASSERT_NE(Busy, std::string::npos);
  Text.erase(Busy, Text.find('\n', Busy) + 1 - Busy);
  Text += "pcm.qmnew { type null hint { show on description \"Plugged in later\" } }\n";
  std::ofstream(Config.Config()) << Text;
  snd_config_update_free_global();
  const auto After = WaveDevices(Sys, false);
  EXPECT_EQ(NamesOf(After), (std::vector<std::string>{"default", "qmcard", "qmgone", "qmxrun", "qmsuspend", "qmnew"}));
  for (const auto& d : After) {
    const auto Before = std::find_if(Inputs.begin(), Inputs.end(), [&](const TWaveDevice& b) { return b.Name == d.Name; });
    if (Before != Inputs.end()) {
      EXPECT_EQ(d.ID, Before->ID) << d.Name;
    }
  }
  ASSERT_TRUE(FindWaveDevice(Sys, false, "qmnew", Found));
  EXPECT_EQ(Found.ID, 6u) << "after every number given out before";
  // The number of the PCM that is gone still names it.
  const WAVEFORMATEX Format = PcmFormat(1, 16, 20000);
  HWAVEOUT Out = 0;
  const MMRESULT r = Sys.waveOutOpen(&Out, 1, &Format, nullptr, 0, CALLBACK_NULL);
  ASSERT_NE(r, MMSYSERR_NOERROR);
  char Reason[256];
  Sys.waveOutGetErrorTextA(r, Reason, sizeof Reason);
  EXPECT_NE(std::string(Reason).find("\"qmbusy\""), std::string::npos) << Reason;
}

}  // namespace
}  // namespace quellmarin::testing
