// The capability report on the virtual sound card: the wave device's text with
// chosen capabilities, its volume and duplex tests and what they leave behind,
// its failures, and the mixer's listing.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/Audio.h"
#include "audio/MixerCard.h"

namespace quellmarin::testing {
namespace {

struct TReportRig {
  TMixerCard Card;
  TMessageQueue Queue;
  std::unique_ptr<TAudio> Audio;
  int Played = 0;
  int Recorded = 0;

  TReportRig& Make(uint32_t DeviceID = 0) {
    Audio = std::make_unique<TAudio>(nullptr, Card, Queue);
    Audio->OnPlayed = [this](TPersistent*) { ++Played; };
    Audio->OnRecord = [this](TPersistent*, void*, void*, uint16_t) { ++Recorded; };
    Audio->SetAudioDeviceID(DeviceID);
    return *this;
  }
  ~TReportRig() {
    Card.ClearFaults();
    Audio.reset();
  }
  void Caps(uint32_t Formats, uint32_t Support, const char* Name = "Card Under Test") {
    WAVEOUTCAPSA c;
    std::snprintf(c.szPname, sizeof(c.szPname), "%s", Name);
    c.dwFormats = Formats;
    c.wChannels = 2;
    c.dwSupport = Support;
    Card.SetOutputCaps(c);
  }
};

constexpr uint32_t AllFormats = 0x0FFF;

TEST(CapabilityReport, TextForChosenCapabilities) {
  struct TCase {
    const char* Name;
    uint32_t Formats, Support;
    bool VolumeSettable, HalfDuplex;
    const char* Caps;
  };
  const TCase Cases[] = {
      {"every format, L/R volume, synchronous, full duplex", AllFormats,
       WAVECAPS_LRVOLUME | WAVECAPS_VOLUME | WAVECAPS_SYNC, true, false,
       "Full-duplex support, 11.025/22.05/44.1 kHz, Mono/Stereo, 8/16-bit, Playback Controls: "
       "Separate L/R Volume, Synchronous Device"},
      {"two rates, no volume support, volume does not follow, half duplex", WAVE_FORMAT_1M08 | WAVE_FORMAT_2M08, 0,
       false, true,
       "Half-duplex support, 11.025/22.05 kHz, Mono, 8-bit, Playback Controls:  (not controllable with this "
       "DeviceID driver)"},
      {"without 1M08", WAVE_FORMAT_2M08 | WAVE_FORMAT_1S08 | WAVE_FORMAT_1M16,
       WAVECAPS_VOLUME | WAVECAPS_PITCH | WAVECAPS_PLAYBACKRATE, true, false,
       "Full-duplex support, /22.05 kHz, /Stereo/16-bit, Playback Controls: Volume, Pitch, Rate"},
      {"volume claimed but not following", WAVE_FORMAT_1M08 | WAVE_FORMAT_4M08 | WAVE_FORMAT_1M16,
       WAVECAPS_VOLUME | WAVECAPS_SYNC | WAVECAPS_SAMPLEACCURATE, false, false,
       "Full-duplex support, 11.025/44.1 kHz, Mono, 8/16-bit, Playback Controls: Volume (not controllable with "
       "this DeviceID driver), Synchronous Device"},
      {"no formats, no support", 0, 0, true, true, "Half-duplex support,  kHz, -bit, Playback Controls: "},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    TReportRig r;
    r.Caps(c.Formats, c.Support);
    r.Card.SetVolumeSettable(c.VolumeSettable);
    r.Card.SetHalfDuplex(c.HalfDuplex);
    r.Make();
    std::string Name = "x", Caps = "x";
    ASSERT_TRUE(r.Audio->QueryCapabilities(Name, Caps));
    EXPECT_EQ(Name, "Card Under Test");
    EXPECT_EQ(Caps, c.Caps);

    // Afterwards: the recorder is closed and delivers again, the output
    // device closes from the queue with one OnPlayed.
    EXPECT_FALSE(r.Audio->Recorder()->DeviceOpen());
    EXPECT_EQ(r.Played, 0);
    r.Queue.ProcessMessages();
    EXPECT_EQ(r.Played, 1);
    EXPECT_EQ(r.Card.OpenWaveDevices(), 0);
    r.Queue.ProcessMessages();
    EXPECT_EQ(r.Played, 1);
    ASSERT_TRUE(r.Audio->Recorder()->Start());
    EXPECT_EQ(r.Card.FillInput(1), 1);
    EXPECT_EQ(r.Recorded, 1) << "the recorder still discards";
    r.Audio->Recorder()->Stop();
  }
}

// Both channels go up by 10 modulo 65535 for the test and come back after.
TEST(CapabilityReport, VolumeTestWrapsAt65535AndRestores) {
  struct TCase {
    uint16_t Left, Right, TestLeft, TestRight;
  };
  const TCase Cases[] = {
      {100, 200, 110, 210}, {65525, 65530, 0, 5}, {65535, 65535, 10, 10}, {65524, 0, 65534, 10}};
  for (const TCase& c : Cases) {
    SCOPED_TRACE(::testing::Message() << c.Left << "/" << c.Right);
    TReportRig r;
    r.Make();
    const uint32_t Start = (uint32_t{c.Right} << 16) | c.Left;
    ASSERT_EQ(r.Card.waveOutSetVolume(0, Start), MMSYSERR_NOERROR);
    r.Card.VolumesSet.clear();
    std::string Name, Caps;
    ASSERT_TRUE(r.Audio->QueryCapabilities(Name, Caps));
    EXPECT_EQ(r.Card.VolumesSet, (std::vector<uint32_t>{(uint32_t{c.TestRight} << 16) | c.TestLeft, Start}));
    EXPECT_EQ(Caps.find("not controllable"), std::string::npos) << Caps;
    uint32_t Now = 0;
    r.Card.waveOutGetVolume(0, &Now);
    EXPECT_EQ(Now, Start);
  }
}

// The default device is reported like any other (it is the device in use);
// these have nothing to report.
TEST(CapabilityReport, NoUsableDeviceGivesNoReport) {
  struct TCase {
    const char* Name;
    std::function<void(TReportRig&)> Setup;
    const char* Error;
  };
  const TCase Cases[] = {
      {"device number beyond the devices", [](TReportRig& r) { r.Make(1); }, "No waveform device available"},
      {"no input device",
       [](TReportRig& r) {
         r.Make();
         r.Card.SetDeviceCounts(0, 1, 1);
       },
       "No waveform device available"},
      {"no output device",
       [](TReportRig& r) {
         r.Make();
         r.Card.SetDeviceCounts(1, 0, 1);
       },
       "No waveform device available"},
      {"capabilities cannot be read",
       [](TReportRig& r) {
         r.Make();
         r.Card.InjectFault("waveOutGetDevCapsA", MMSYSERR_NODRIVER, "caps unreadable");
       },
       " caps unreadable"},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    TReportRig r;
    c.Setup(r);
    std::string Name = "x", Caps = "x";
    EXPECT_FALSE(r.Audio->QueryCapabilities(Name, Caps));
    EXPECT_EQ(Name, "");
    EXPECT_EQ(Caps, "");
    EXPECT_EQ(r.Audio->ErrorMessage(), c.Error);
    EXPECT_EQ(r.Card.OpenWaveDevices(), 0);
    EXPECT_TRUE(r.Card.VolumesSet.empty());
    r.Queue.ProcessMessages();
    EXPECT_EQ(r.Played, 0);
  }
}

// Failures on the way: the report is still made, and ErrorMessage keeps the
// reason, also after the queued close has run.
TEST(CapabilityReport, FailuresDuringTheTestsLeaveTheirReason) {
  struct TCase {
    const char* Name;
    const char* Call;
    const char* Prefix;    // of Caps
    bool Uncontrollable;   // step k appended
    const char* Error;
    int Played;
  };
  const TCase Cases[] = {
      {"volume cannot be read", "waveOutGetVolume", "Full-duplex support, ", true, " device broke", 1},
      {"volume cannot be set", "waveOutSetVolume", "Full-duplex support, ", true, " device broke", 1},
      {"output cannot be opened", "waveOutOpen", "Half-duplex support, ", false,
       "Could not open the output device for playing:  device broke", 0},
      {"input cannot be opened", "waveInOpen", "Half-duplex support, ", false,
       "Could not open the input device for recording:  device broke", 1},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    TReportRig r;
    r.Make();
    r.Card.InjectFault(c.Call, MMSYSERR_ERROR, "device broke");
    std::string Name, Caps;
    ASSERT_TRUE(r.Audio->QueryCapabilities(Name, Caps));
    EXPECT_EQ(Caps.rfind(c.Prefix, 0), 0u) << Caps;
    EXPECT_EQ(Caps.find(" (not controllable with this DeviceID driver)") != std::string::npos, c.Uncontrollable);
    EXPECT_EQ(r.Audio->ErrorMessage(), c.Error);
    r.Queue.ProcessMessages();
    EXPECT_EQ(r.Played, c.Played);
    EXPECT_EQ(r.Audio->ErrorMessage(), c.Error);
    EXPECT_EQ(r.Card.OpenWaveDevices(), 0);
  }
}

TEST(CapabilityReport, EndsARunningRecording) {
  TReportRig r;
  r.Make();
  ASSERT_TRUE(r.Audio->Recorder()->Start());
  std::string Name, Caps;
  ASSERT_TRUE(r.Audio->QueryCapabilities(Name, Caps));
  EXPECT_EQ(Caps.rfind("Full-duplex support, ", 0), 0u);
  EXPECT_FALSE(r.Audio->Recorder()->DeviceOpen());
  EXPECT_EQ(r.Recorded, 0);
  r.Queue.ProcessMessages();
  EXPECT_EQ(r.Card.OpenWaveDevices(), 0);
}

// ---------------------------------------------------------------------------
// The mixer's listing

TEST(MixerListing, DestinationsStartTextLinesAndSourcesFollow) {
  struct TCase {
    const char* Name;
    std::function<void(TMixerCard&)> Shape;
    int32_t MixerID;
    const char* Listing;
  };
  const TCase Cases[] = {
      {"the virtual card", nullptr, 0,
       "Mixer devices present: 1. DeviceID 0 has:\r\nVolume Control: Wave, Microphone, Line In, CD Audio, "
       "\r\nRecording Control: Microphone, Line In, "},
      // A line without controls is listed too.
      {"two and one source lines",
       [](TMixerCard& c) {
         c.Sources = {{0, 2}, {1, 1}};
         c.Hidden = {{0, 2, MIXERCONTROL_CONTROLTYPE_VOLUME}, {0, 2, MIXERCONTROL_CONTROLTYPE_MUTE}};
       },
       0,
       "Mixer devices present: 1. DeviceID 0 has:\r\nVolume Control: Wave, Microphone, \r\nRecording Control: "
       "Microphone, "},
      {"destinations without sources", [](TMixerCard& c) { c.Sources = {{0, 0}, {1, 0}}; }, 0,
       "Mixer devices present: 1. DeviceID 0 has:\r\nVolume Control: \r\nRecording Control: "},
      {"the second of two mixers", [](TMixerCard& c) { c.SetDeviceCounts(1, 1, 2); }, 1,
       "Mixer devices present: 2. DeviceID 1 has:\r\nVolume Control: Wave, Microphone, Line In, CD Audio, "
       "\r\nRecording Control: Microphone, Line In, "},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    TReportRig r;
    if (c.Shape) c.Shape(r.Card);
    r.Make();
    r.Audio->SetMixerDeviceID(c.MixerID);
    std::string Name = "x", Listing = "x";
    EXPECT_TRUE(r.Audio->Mixer()->Describe(Name, Listing));
    EXPECT_EQ(Name, "Virtual Mixer");
    EXPECT_EQ(Listing, c.Listing);
  }
}

TEST(MixerListing, NotOpenOrNoMixer) {
  {
    SCOPED_TRACE("not open");
    TReportRig r;
    r.Card.InjectFault("mixerOpen", MMSYSERR_ERROR);
    r.Make();
    std::string Name = "x", Listing = "x";
    EXPECT_FALSE(r.Audio->Mixer()->Describe(Name, Listing));
    EXPECT_EQ(Name + Listing, "");
  }
  {
    SCOPED_TRACE("the mixer device went away after opening");
    TReportRig r;
    r.Make();
    r.Card.SetDeviceCounts(1, 1, 0);
    std::string Name = "x", Listing = "x";
    EXPECT_FALSE(r.Audio->Mixer()->Describe(Name, Listing));
    EXPECT_EQ(Name, "");
    EXPECT_EQ(Listing, "Mixer not present");
  }
}

}  // namespace
}  // namespace quellmarin::testing
