// The ALSA mixer mapping on the test sound card's controls: line names and
// structure, values written through to the card, changes from another process
// reported with the control's id, and the recording line's peak meter.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "alsa/AlsaTestConfig.h"
#include "soundsystem/alsa/AlsaSoundSystem.h"
#include "tests/soundsystem/ContractTarget.h"

namespace quellmarin::testing {
namespace {

struct TLineView {
  std::string Name;
  uint32_t Channels;
  std::vector<uint32_t> Types;  // control types in order
  std::vector<uint32_t> IDs;
};

class AlsaMixer : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(Sys.mixerOpen(&Mixer, 0, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&Log), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
  }
  void TearDown() override { Sys.mixerClose(Mixer); }

  // Destination d's lines: its own line first, then its sources.
  std::vector<TLineView> Lines(uint32_t d) {
    std::vector<TLineView> out;
    MIXERLINEA dest;
    dest.dwDestination = d;
    EXPECT_EQ(Sys.mixerGetLineInfoA(Mixer, &dest, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_NOERROR);
    out.push_back(View(dest));
    for (uint32_t s = 0; s < dest.cConnections; ++s) {
      MIXERLINEA src;
      src.dwDestination = d;
      src.dwSource = s;
      EXPECT_EQ(Sys.mixerGetLineInfoA(Mixer, &src, MIXER_GETLINEINFOF_SOURCE), MMSYSERR_NOERROR);
      out.push_back(View(src));
    }
    return out;
  }
  TLineView View(const MIXERLINEA& Line) {
    TLineView v{Line.szName, Line.cChannels, {}, {}};
    std::vector<MIXERCONTROLA> c(Line.cControls);
    MIXERLINECONTROLSA q;
    q.dwLineID = Line.dwLineID;
    q.cControls = Line.cControls;
    q.pamxctrl = c.data();
    if (Line.cControls) {
      EXPECT_EQ(Sys.mixerGetLineControlsA(Mixer, &q, MIXER_GETLINECONTROLSF_ALL), MMSYSERR_NOERROR);
    }
    for (auto& x : c) {
      v.Types.push_back(x.dwControlType);
      v.IDs.push_back(x.dwControlID);
    }
    return v;
  }
  // The id of the control of Type on line Source of destination Dest.
  uint32_t Control(uint32_t Dest, uint32_t Source, uint32_t Type) {
    TLineView v = Lines(Dest)[Source];
    for (size_t i = 0; i < v.Types.size(); ++i)
      if (v.Types[i] == Type) return v.IDs[i];
    ADD_FAILURE() << "no control " << Type << " on " << v.Name;
    return 0;
  }
  std::vector<uint32_t> Get(uint32_t ID, uint32_t Channels) {
    std::vector<uint32_t> v(Channels);
    MIXERCONTROLDETAILS d;
    d.dwControlID = ID;
    d.cChannels = Channels;
    d.paDetails = v.data();
    EXPECT_EQ(Sys.mixerGetControlDetailsA(Mixer, &d, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    return v;
  }
  MMRESULT Set(uint32_t ID, std::vector<uint32_t> Values) {
    MIXERCONTROLDETAILS d;
    d.dwControlID = ID;
    d.cChannels = static_cast<uint32_t>(Values.size());
    d.paDetails = Values.data();
    return Sys.mixerSetControlDetails(Mixer, &d, MIXER_SETCONTROLDETAILSF_VALUE);
  }
  std::string State() {
    auto s = TAlsaTestConfig::ReadFile(Config.State());
    return std::string(s.begin(), s.end());
  }
  // The change notifications seen so far, as control ids.
  std::vector<uintptr_t> Changes() {
    std::vector<uintptr_t> ids;
    for (auto& e : Log.Snapshot()) {
      EXPECT_EQ(e.Msg, uint32_t{MM_MIXM_CONTROL_CHANGE});
      EXPECT_EQ(e.Param1, Mixer);
      ids.push_back(e.Param2);
    }
    return ids;
  }
  bool WaitForChanges(size_t Count) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Log.Snapshot().size() < Count) {
      if (std::chrono::steady_clock::now() > End) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  TAlsaTestConfig Config;
  TAlsaSoundSystem Sys;
  TCallbackLog Log;
  HMIXER Mixer = 0;
};

constexpr uint32_t Vol = MIXERCONTROL_CONTROLTYPE_VOLUME;
constexpr uint32_t Mute = MIXERCONTROL_CONTROLTYPE_MUTE;
constexpr uint32_t Peak = MIXERCONTROL_CONTROLTYPE_PEAKMETER;

// The card's elements appear under the names the program looks for: the
// playback destination's own line is Master, PCM is "Wave", Mic is
// "Microphone", Line is "Line In"; the capture elements sit under the
// recording destination, whose own line carries the peak meter.
TEST_F(AlsaMixer, MapsTheCardsElementsOntoDestinationsAndSources) {
  MIXERCAPSA Caps;
  ASSERT_EQ(Sys.mixerGetDevCapsA(0, &Caps, sizeof Caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(Caps.szPname, "ALSA mixer: Test Card");
  ASSERT_EQ(Caps.cDestinations, 2u);

  struct TWant {
    uint32_t Dest;
    std::string Name;
    std::vector<uint32_t> Types;
  };
  const std::vector<TWant> Want = {
      {0, "Master Volume", {Vol, Mute}},         {0, "Wave", {Vol, Mute}},      {0, "Microphone", {Vol, Mute}},
      {0, "Line In", {Vol, Mute}},               {1, "Recording Control", {Vol, Mute, Peak}},
      {1, "Microphone", {Mute}},                 {1, "Line In", {Mute}},
  };
  std::vector<TLineView> Got = Lines(0);
  for (auto& l : Lines(1)) Got.push_back(l);
  ASSERT_EQ(Got.size(), Want.size());
  for (size_t i = 0; i < Want.size(); ++i) {
    EXPECT_EQ(Got[i].Name, Want[i].Name) << i;
    EXPECT_EQ(Got[i].Types, Want[i].Types) << Want[i].Name;
    EXPECT_EQ(Got[i].Channels, 2u) << Want[i].Name;
  }
  // Only the playback destination's name holds "Volume", only the recording
  // destination's "Recording".
  EXPECT_EQ(Got[0].Name.find("Recording"), std::string::npos);
  EXPECT_EQ(Got[4].Name.find("Volume"), std::string::npos);
}

// Values written through the mixer land on the card's controls (volumes
// scaled onto its 0 .. 100, mute as the switch turned off) and read back as
// set; each change is reported once, a set to the same value not at all.
TEST_F(AlsaMixer, WritesThroughToTheCardAndReportsEachChange) {
  const uint32_t Wave = Control(0, 1, Vol), MicRecMute = Control(1, 1, Mute), MasterMute = Control(0, 0, Mute);
  ASSERT_EQ(Set(Wave, {65535, 0}), MMSYSERR_NOERROR);
  ASSERT_EQ(Set(MicRecMute, {1}), MMSYSERR_NOERROR);
  ASSERT_EQ(Set(MasterMute, {0}), MMSYSERR_NOERROR);  // already on: no change
  EXPECT_EQ(Get(Wave, 2), (std::vector<uint32_t>{65535, 0}));
  EXPECT_EQ(Get(MicRecMute, 1), (std::vector<uint32_t>{1}));
  EXPECT_NE(State().find("PCM Playback Volume=100,0"), std::string::npos) << State();
  EXPECT_NE(State().find("Mic Capture Switch=0,0"), std::string::npos) << State();
  ASSERT_TRUE(WaitForChanges(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Changes(), (std::vector<uintptr_t>{Wave, MicRecMute}));

  // A level between the card's steps reads back as set.
  ASSERT_EQ(Set(Wave, {12345}), MMSYSERR_NOERROR);
  EXPECT_EQ(Get(Wave, 2), (std::vector<uint32_t>{12345, 12345}));
  EXPECT_EQ(Set(Wave, {65536}), MIXERR_INVALVALUE);
  EXPECT_EQ(Set(Control(1, 0, Peak), {1}), MMSYSERR_NOTSUPPORTED);
}

// Another process changing the card (amixer here) reaches every open handle
// as a change notification naming the control.
TEST_F(AlsaMixer, ReportsChangesMadeByAnotherProcess) {
  const uint32_t Master = Control(0, 0, Vol), LineMute = Control(0, 3, Mute);
  TCallbackLog Other;
  HMIXER Second = 0;
  ASSERT_EQ(Sys.mixerOpen(&Second, 0, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&Other), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  ASSERT_EQ(std::system("amixer -q -D default cset name='Master Playback Volume' 20,40"), 0);
  ASSERT_EQ(std::system("amixer -q -D default cset name='Line Playback Switch' off,off"), 0);
  ASSERT_TRUE(WaitForChanges(2));
  EXPECT_EQ(Changes(), (std::vector<uintptr_t>{Master, LineMute}));
  EXPECT_EQ(Get(Master, 2), (std::vector<uint32_t>{13107, 26214}));
  EXPECT_EQ(Get(LineMute, 1), (std::vector<uint32_t>{1}));
  const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Other.Count(MM_MIXM_CONTROL_CHANGE) < 2 && std::chrono::steady_clock::now() < End)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(Other.Headers(MM_MIXM_CONTROL_CHANGE), (std::vector<uintptr_t>{Second, Second}));
  EXPECT_EQ(Sys.mixerClose(Second), MMSYSERR_NOERROR);
}

// The recording line's meter shows the peak of what was just captured.
TEST_F(AlsaMixer, PeakMeterFollowsTheCapturedSamples) {
  const uint32_t Meter = Control(1, 0, Peak);
  EXPECT_EQ(Get(Meter, 2), (std::vector<uint32_t>{0, 0}));
  const WAVEFORMATEX Format = PcmFormat(1, 16, 20000);
  HWAVEIN In = 0;
  TCallbackLog InLog;
  ASSERT_EQ(Sys.waveInOpen(&In, WAVE_MAPPER, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&InLog),
                           CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  TBuffers B(1, 4000);
  ASSERT_EQ(Sys.waveInPrepareHeader(In, B[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_EQ(Sys.waveInAddBuffer(In, B[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_EQ(Sys.waveInStart(In), MMSYSERR_NOERROR);
  const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (InLog.Count(MM_WIM_DATA) < 1 && std::chrono::steady_clock::now() < End)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::vector<uint32_t> Level = Get(Meter, 2);
  EXPECT_NEAR(static_cast<int32_t>(Level[0]), 8000, 10) << "the input file's 1 kHz tone at 8000";
  EXPECT_EQ(Level[0], Level[1]) << "a mono recording shows on both channels";
  EXPECT_EQ(Log.Count(MM_MIXM_CONTROL_CHANGE), 0) << "a meter raises no notification";
  ASSERT_EQ(Sys.waveInReset(In), MMSYSERR_NOERROR);
  ASSERT_EQ(Sys.waveInUnprepareHeader(In, B[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_EQ(Sys.waveInClose(In), MMSYSERR_NOERROR);
  EXPECT_EQ(Get(Meter, 1), (std::vector<uint32_t>{0}));
}

}  // namespace
}  // namespace quellmarin::testing
