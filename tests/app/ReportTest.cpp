#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Utils.h"
#include "soundsystem/virtual/VirtualSoundCard.h"

namespace quellmarin {
namespace {

// The audio component on a virtual card with the manual clock; Report() runs
// the report into Lines and then lets the message queue close the output.
class ReportTest : public ::testing::Test {
protected:
  void Make() {
    Audio = std::make_unique<TAudio>(nullptr, Card, Queue);
    Audio->OnPlayed = [this](TPersistent*) { ++Played; };
  }
  void Report() {
    ReportSoundSystem(Audio.get(), [this](const std::string& Line) { Lines.push_back(Line); });
    Queue.ProcessMessages();
  }

  TVirtualSoundCard Card{TVirtualSoundCard::ckManual};
  TMessageQueue Queue;
  std::unique_ptr<TAudio> Audio;
  std::vector<std::string> Lines;
  int Played = 0;
};

constexpr const char* kListing =
    "Mixer devices present: 1. DeviceID 0 has:\r\nVolume Control: Wave, Microphone, Line In, CD Audio, "
    "\r\nRecording Control: Microphone, Line In, ";

TEST_F(ReportTest, EveryQueryAppendsTheFourTexts) {
  Make();
  Audio->SetAudioDeviceID(0);
  Report();
  Report();
  const std::vector<std::string> Once = {
      "Virtual Sound Card",
      "Full-duplex support, 11.025/22.05/44.1 kHz, Mono/Stereo, 8/16-bit, Playback Controls: Separate L/R Volume",
      "Virtual Mixer",
      kListing,
  };
  std::vector<std::string> Twice = Once;
  Twice.insert(Twice.end(), Once.begin(), Once.end());
  EXPECT_EQ(Lines, Twice);
  // The devices the query opened are closed again, and the recorder is usable.
  EXPECT_EQ(Card.OpenWaveDevices(), 0);
  EXPECT_EQ(Played, 2);
  EXPECT_TRUE(Audio->Recorder()->Open());
  Audio->Recorder()->Close();
}

// Without devices the report keeps its four texts; the failed queries leave
// them empty or give the layer's own texts.
TEST_F(ReportTest, WithoutDevicesFourTextsStillArrive) {
  enum TWhen { Never, GoneAfterStart, DefaultWithoutDevices };
  struct Case {
    const char* Name;
    TWhen When;
    std::vector<std::string> Lines;
  } Cases[] = {
      {"no devices from the start", Never, {"", "", "", ""}},
      {"devices gone after the start", GoneAfterStart, {"", "", "", "Mixer not present"}},
      {"the default device, with no device at all", DefaultWithoutDevices, {"", "", "", ""}},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    Lines.clear();
    Audio.reset();
    const bool None = c.When != GoneAfterStart;
    Card.SetDeviceCounts(None ? 0 : 1, None ? 0 : 1, None ? 0 : 1);
    Make();
    Audio->SetAudioDeviceID(c.When == DefaultWithoutDevices ? WAVE_MAPPER : 0);
    if (c.When == GoneAfterStart) Card.SetDeviceCounts(0, 0, 0);
    Report();
    EXPECT_EQ(Lines, c.Lines);
    if (c.When == DefaultWithoutDevices) {
      // The default device is asked for and the sound system's reason kept.
      char Text[256];
      Card.waveOutGetErrorTextA(MMSYSERR_BADDEVICEID, Text, sizeof Text);
      EXPECT_EQ(Audio->ErrorMessage(), std::string(" ") + Text);
    } else {
      EXPECT_EQ(Audio->ErrorMessage(), "No waveform device available");
    }
  }
}

// The default device (no number chosen) is the device in use: it is
// described like a chosen one, and so are input and output chosen apart.
TEST_F(ReportTest, TheDefaultDeviceAndSeparateDevicesAreReported) {
  for (const auto& [In, Out] : {std::pair{WAVE_MAPPER, WAVE_MAPPER}, std::pair{0u, WAVE_MAPPER}}) {
    SCOPED_TRACE(In);
    Lines.clear();
    Audio.reset();
    Make();
    ASSERT_TRUE(Audio->SetWaveDevices(In, Out));
    Report();
    const std::vector<std::string> Expected = {
        "Virtual Sound Card",
        "Full-duplex support, 11.025/22.05/44.1 kHz, Mono/Stereo, 8/16-bit, Playback Controls: Separate L/R Volume",
        "Virtual Mixer",
        kListing,
    };
    EXPECT_EQ(Lines, Expected);
    EXPECT_EQ(Audio->ErrorMessage(), "");
    EXPECT_EQ(Card.OpenWaveDevices(), 0);
  }
}

// A failure on the way is reported in the text, not by losing lines.
TEST_F(ReportTest, HalfDuplexCardStillReportsEverything) {
  Card.SetHalfDuplex(true);
  Card.SetVolumeSettable(false);
  Make();
  Audio->SetAudioDeviceID(0);
  Report();
  ASSERT_EQ(Lines.size(), 4u);
  EXPECT_EQ(Lines[1].rfind("Half-duplex support, ", 0), 0u) << Lines[1];
  EXPECT_NE(Lines[1].find("Separate L/R Volume (not controllable with this DeviceID driver)"), std::string::npos);
  EXPECT_EQ(Lines[2], "Virtual Mixer");
  EXPECT_EQ(Card.OpenWaveDevices(), 0);
}

}  // namespace
}  // namespace quellmarin
