// The mixer access on the virtual sound card: the line list and its names,
// volume, mute and peak level, failures, change notifications, and the lines
// the main window's mixer panel looks up by name.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "audio/Audio.h"
#include "audio/MixerCard.h"

namespace quellmarin::testing {
namespace {

constexpr uint32_t VOL = MIXERCONTROL_CONTROLTYPE_VOLUME;
constexpr uint32_t MUTE = MIXERCONTROL_CONTROLTYPE_MUTE;
constexpr uint32_t METER = MIXERCONTROL_CONTROLTYPE_PEAKMETER;

// A TAudio on a reshaped virtual card; shape the card, then Make().
struct TRig {
  TMixerCard Card;
  TMessageQueue Queue;
  std::unique_ptr<TAudio> Audio;
  struct TChange {
    TPersistent* Sender;
    uint16_t Destination, Source;
    std::thread::id Thread;
  };
  std::vector<TChange> Changes;

  TRig& Make() {
    Audio = std::make_unique<TAudio>(nullptr, Card, Queue);
    Audio->OnMixerChange = [this](TPersistent* Sender, uint16_t d, uint16_t s) {
      Changes.push_back({Sender, d, s, std::this_thread::get_id()});
    };
    return *this;
  }
  ~TRig() {
    Card.ClearFaults();
    Audio.reset();
  }
  TMixerSettings& Mixer() { return *Audio->Mixer(); }
  std::vector<std::pair<uint16_t, uint16_t>> Lines() {
    std::vector<std::pair<uint16_t, uint16_t>> v;
    for (const TMixDetails& n : Mixer().Lines()) v.emplace_back(n.Destination, n.Source);
    return v;
  }
  std::vector<std::pair<uint16_t, uint16_t>> Changed() {
    std::vector<std::pair<uint16_t, uint16_t>> v;
    for (const TChange& c : Changes) v.emplace_back(c.Destination, c.Source);
    return v;
  }
};

using TNames = std::vector<std::string>;
using TLines = std::vector<std::pair<uint16_t, uint16_t>>;

// The mixer of the examples: two destinations, the first with two source
// lines (Wave, and a Microphone without controls), the second with one.
void ShapeExample(TMixerCard& Card) {
  Card.Sources = {{0, 2}, {1, 1}};
  Card.Hidden = {{0, 2, VOL}, {0, 2, MUTE}};
}

TEST(MixerList, ExampleMixerGivesSixNodesAndItsNames) {
  TRig r;
  ShapeExample(r.Card);
  r.Make();
  TMixerSettings& m = r.Mixer();
  ASSERT_TRUE(m.Opened());
  EXPECT_EQ(r.Lines(), (TLines{{0xFFFF, 0xFFFF}, {0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}}));
  EXPECT_EQ(m.Lines()[0].Name, "Virtual Mixer");
  EXPECT_EQ(m.Lines()[0].Flags, 0);
  EXPECT_EQ(m.DestinationNames(), (TNames{"Volume Control", "Recording Control"}));
  EXPECT_EQ(m.SourceNames(0), (TNames{"Volume Control", "Wave", ""}));
  EXPECT_EQ(m.SourceNames(1), (TNames{"Recording Control", "Microphone"}));
  EXPECT_EQ(m.SourceNames(5), TNames{});
  EXPECT_EQ(m.SourceNames(0xFFFF), TNames{}) << "the device node is no line";
  // The unlisted line keeps its place and its name in the list.
  EXPECT_EQ(m.Lines()[3].Name, "Microphone");
  EXPECT_FALSE(m.Lines()[3].Listed);
  EXPECT_EQ(m.Lines()[3].Flags, mfNoMute);
}

// Every line of the card as read: control ids, flags, channels.
TEST(MixerList, EveryLineOfTheCardWithItsControls) {
  TRig r;
  r.Make();
  struct TRow {
    uint16_t Destination, Source;
    const char* Name;
    uint16_t Flags;
    bool Mono;
    uint16_t MeterChannels;
  };
  const TRow Rows[] = {
      {0, 0, "Volume Control", 0x00, false, 2}, {0, 1, "Wave", 0x00, false, 2},
      {0, 2, "Microphone", 0x40, true, 0},      {0, 3, "Line In", 0x00, false, 0},
      {0, 4, "CD Audio", 0x80, false, 0},       {1, 0, "Recording Control", 0x80, false, 2},
      {1, 1, "Microphone", 0x40, true, 0},      {1, 2, "Line In", 0x00, false, 0},
  };
  const auto& Lines = r.Mixer().Lines();
  ASSERT_EQ(Lines.size(), std::size(Rows) + 1);
  for (size_t i = 0; i < std::size(Rows); ++i) {
    const TRow& w = Rows[i];
    const TMixDetails& n = Lines[i + 1];
    SCOPED_TRACE(w.Name);
    EXPECT_EQ(n.Destination, w.Destination);
    EXPECT_EQ(n.Source, w.Source);
    EXPECT_EQ(n.Name, w.Name);
    EXPECT_EQ(n.Flags, w.Flags);
    EXPECT_EQ(n.Mono, w.Mono);
    EXPECT_EQ(n.MeterChannels, w.MeterChannels);
    EXPECT_TRUE(n.Listed);
    auto Id = [&](uint32_t Type) {
      const uint32_t c = r.Card.Control(w.Destination, w.Source, Type);
      return c == 0 ? NoControl : c;
    };
    EXPECT_EQ(n.VolumeID, Id(VOL));
    EXPECT_EQ(n.MuteID, Id(MUTE));
    EXPECT_EQ(n.MeterID, Id(METER));
  }
}

// Every way the mixer can end up not open, and what each operation then does.
TEST(MixerList, NotOpenRefusesEveryOperation) {
  struct TCase {
    const char* Name;
    std::function<void(TRig&)> Shape;  // before construction
    std::function<void(TRig&)> After;  // after construction
    size_t Nodes;                      // nodes left in the list
  };
  const TCase Cases[] = {
      {"no mixer device", [](TRig& r) { r.Card.SetDeviceCounts(1, 1, 0); }, nullptr, 0},
      {"open fails", [](TRig& r) { r.Card.InjectFault("mixerOpen", MMSYSERR_ALLOCATED); }, nullptr, 0},
      {"device number that does not exist", nullptr, [](TRig& r) { r.Audio->SetMixerDeviceID(1); }, 0},
      {"negative device number", nullptr, [](TRig& r) { r.Audio->SetMixerDeviceID(-1); }, 0},
      {"no destinations", [](TRig& r) { r.Card.Destinations = 0; }, nullptr, 1},
      // The fourth line read (Wave, Microphone of the playback) fails: the
      // device node and three lines stay.
      {"a line cannot be read",
       [](TRig& r) { r.Card.InjectFault("mixerGetLineInfoA", MMSYSERR_ERROR, "", 3); }, nullptr, 4},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    TRig r;
    if (c.Shape) c.Shape(r);
    r.Make();
    if (c.After) c.After(r);
    TMixerSettings& m = r.Mixer();
    r.Audio->SetErrorMessage("before");
    EXPECT_FALSE(m.Opened());
    EXPECT_EQ(m.Lines().size(), c.Nodes);
    EXPECT_EQ(m.DestinationNames(), TNames{});
    EXPECT_EQ(m.SourceNames(0), TNames{});
    EXPECT_FALSE(m.SetVolumeMute(0, 0, 1, 1, true));
    uint16_t L = 7, R = 7;
    bool Mute = true;
    uint8_t Flags = 7;
    EXPECT_FALSE(m.GetVolumeMute(0, 0, L, R, Mute, Flags));
    EXPECT_EQ(std::tie(L, R, Mute, Flags), std::make_tuple(uint16_t{7}, uint16_t{7}, true, uint8_t{7}));
    int32_t PL = 7, PR = 7;
    EXPECT_FALSE(m.GetPeakLevel(0, 0, PL, PR));
    EXPECT_EQ(PL, 7);
    std::string Name = "x", Listing = "x";
    EXPECT_FALSE(m.Describe(Name, Listing));
    EXPECT_EQ(Name + Listing, "");
    EXPECT_EQ(r.Audio->ErrorMessage(), "before");
    EXPECT_EQ(r.Card.WriteChannels.size(), 0u);
  }
}

TEST(MixerList, MissingLinesAreRefusedWhileOpen) {
  TRig r;
  r.Make();
  TMixerSettings& m = r.Mixer();
  r.Audio->SetErrorMessage("before");
  const std::pair<uint16_t, uint16_t> Missing[] = {{0, 5}, {1, 3}, {2, 0}, {0xFFFF, 0xFFFF}};
  for (auto [d, s] : Missing) {
    SCOPED_TRACE(::testing::Message() << d << "/" << s);
    EXPECT_FALSE(m.SetVolumeMute(d, s, 1, 1, true));
    uint16_t L = 7, R = 7;
    bool Mute = true;
    uint8_t Flags = 7;
    EXPECT_FALSE(m.GetVolumeMute(d, s, L, R, Mute, Flags));
    EXPECT_EQ(Flags, 7);
    int32_t PL = 7, PR = 7;
    EXPECT_FALSE(m.GetPeakLevel(d, s, PL, PR));
  }
  EXPECT_EQ(r.Audio->ErrorMessage(), "before");
  EXPECT_TRUE(r.Card.WriteChannels.empty());
}

// What a line cannot offer is left out when it is read; the line stays.
TEST(MixerList, UnreadableControlsLeaveTheLineWithoutThem) {
  {
    SCOPED_TRACE("the Wave line's controls cannot be listed");
    TRig r;
    r.Card.InjectFault("mixerGetLineControlsA", MMSYSERR_ERROR, "", 1, 1);
    r.Make();
    TMixerSettings& m = r.Mixer();
    ASSERT_TRUE(m.Opened());
    EXPECT_EQ(m.SourceNames(0), (TNames{"Volume Control", "", "Microphone", "Line In", "CD Audio"}));
    const TMixDetails& w = m.Lines()[2];
    EXPECT_EQ(std::tie(w.VolumeID, w.MuteID, w.MeterID), std::make_tuple(NoControl, NoControl, NoControl));
    EXPECT_EQ(w.Flags, mfNoMute);
  }
  {
    SCOPED_TRACE("the master mute cannot be read (second value read)");
    TRig r;
    r.Card.InjectFault("mixerGetControlDetailsA", MMSYSERR_ERROR, "", 1, 1);
    r.Make();
    const TMixDetails& v = r.Mixer().Lines()[1];
    EXPECT_TRUE(v.Listed);
    EXPECT_NE(v.VolumeID, NoControl);
    EXPECT_EQ(v.MuteID, NoControl);
    EXPECT_NE(v.MeterID, NoControl);
    EXPECT_EQ(v.Flags, mfNoMute);
  }
}

TEST(MixerList, ReopenReadsTheNewDeviceAndSameNumberDoesNothing) {
  TRig r;
  r.Card.SetDeviceCounts(1, 1, 2);
  r.Make();
  TMixerSettings& m = r.Mixer();
  r.Card.Sources = {{0, 1}};  // seen only by a new read
  r.Audio->SetMixerDeviceID(0);
  EXPECT_EQ(m.Lines().size(), 9u);
  r.Audio->SetMixerDeviceID(1);
  EXPECT_EQ(r.Audio->MixerDeviceID(), 1);
  EXPECT_TRUE(m.Opened());
  EXPECT_EQ(m.SourceNames(0), (TNames{"Volume Control", "Wave"}));
}

// ---------------------------------------------------------------------------
// Volume and mute

TEST(MixerVolume, WritesAndReadsBackByLineKind) {
  struct TCase {
    const char* Name;
    uint16_t Destination, Source;
    uint16_t Left, Right;
    bool Mute;
    std::vector<uint32_t> Writes;  // channel counts of the writes made
    uint32_t CardLeft, CardRight;  // volume the card holds afterwards
    bool GetResult;
    const char* Error;  // after GetVolumeMute ("" when it succeeds)
    uint16_t ReadLeft, ReadRight;
    uint8_t Flags;
  };
  const TCase Cases[] = {
      {"stereo with mute", 0, 1, 1000, 2000, true, {2, 1}, 1000, 2000, true, "", 1000, 2000, 0x00},
      {"mono sends Left alone", 0, 2, 3000, 9000, true, {1, 1}, 3000, 3000, true, "", 3000, 3000, 0x40},
      {"mono recording line", 1, 1, 40000, 1, false, {1, 1}, 40000, 40000, true, "", 40000, 40000, 0x40},
      {"no mute: volume only", 0, 4, 500, 600, true, {2}, 500, 600, false, "Mute GetControlError in Mixer", 500,
       600, 0x80},
      {"recording line without mute", 1, 0, 65535, 0, false, {2}, 65535, 0, false,
       "Mute GetControlError in Mixer", 65535, 0, 0x80},
      // Line In of the recording with its volume hidden.
      {"no volume: mute only", 1, 2, 500, 600, true, {1}, 65535, 65535, false, "Volume GetControlError in Mixer",
       7, 7, 0x00},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    TRig r;
    r.Card.Hidden = {{1, 2, VOL}};
    r.Make();
    TMixerSettings& m = r.Mixer();
    r.Audio->SetErrorMessage("");
    EXPECT_TRUE(m.SetVolumeMute(c.Destination, c.Source, c.Left, c.Right, c.Mute));
    EXPECT_EQ(r.Card.WriteChannels, c.Writes);
    const uint32_t Vol = r.Card.Control(c.Destination, c.Source, VOL);
    EXPECT_EQ(r.Card.ControlValue(Vol, 0), static_cast<int32_t>(c.CardLeft));
    EXPECT_EQ(r.Card.ControlValue(Vol, 1), static_cast<int32_t>(c.CardRight));
    if (const uint32_t Mute = r.Card.Control(c.Destination, c.Source, MUTE)) {
      EXPECT_EQ(r.Card.ControlValue(Mute), c.Mute ? 1 : 0);
    }

    uint16_t L = 7, R = 7;
    bool Mute = !c.Mute;
    uint8_t Flags = 0xFF;
    EXPECT_EQ(m.GetVolumeMute(c.Destination, c.Source, L, R, Mute, Flags), c.GetResult);
    EXPECT_EQ(r.Audio->ErrorMessage(), c.Error);
    EXPECT_EQ(Flags, c.Flags);
    EXPECT_EQ(L, c.ReadLeft);
    EXPECT_EQ(R, c.ReadRight);
    if (c.GetResult) {
      EXPECT_EQ(Mute, c.Mute);
    }
  }
}

TEST(MixerVolume, FailedControlCallsLeaveTheirText) {
  struct TCase {
    const char* Call;
    int Skip;
    bool Set;  // SetVolumeMute, else GetVolumeMute
    const char* Error;
  };
  const TCase Cases[] = {
      {"mixerSetControlDetails", 0, true, "Volume SetControlError in Mixer"},
      {"mixerSetControlDetails", 1, true, "Mute SetControlError in Mixer"},
      {"mixerGetControlDetailsA", 0, false, "Volume GetControlError in Mixer"},
      {"mixerGetControlDetailsA", 1, false, "Mute GetControlError in Mixer"},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Error);
    TRig r;
    r.Make();
    TMixerSettings& m = r.Mixer();
    r.Card.InjectFault(c.Call, MMSYSERR_ERROR, "platform text", c.Skip);
    if (c.Set) {
      EXPECT_FALSE(m.SetVolumeMute(0, 1, 100, 100, true));
      // A failed volume write sends no mute.
      EXPECT_EQ(r.Card.ControlValue(r.Card.Control(0, 1, MUTE)), 0);
    } else {
      uint16_t L, R;
      bool Mute;
      uint8_t Flags;
      EXPECT_FALSE(m.GetVolumeMute(0, 1, L, R, Mute, Flags));
    }
    EXPECT_EQ(r.Audio->ErrorMessage(), c.Error);
  }
}

// ---------------------------------------------------------------------------
// Peak meter

// Plays one 16-bit stereo block whose largest samples are Left and -Right.
void PlayPeaks(TRig& r, int16_t Left, int16_t Right) {
  r.Audio->Recorder()->SetNoSamples(100);
  r.Audio->Recorder()->SetChannels(Stereo);
  r.Audio->Recorder()->SetBitsPerSample(_16);
  std::vector<int16_t> Frames(200, 3);
  Frames[6] = Left;
  Frames[11] = static_cast<int16_t>(-Right);
  TMemoryStream s;
  s.Write(Frames.data(), Frames.size() * 2);
  r.Audio->Player()->Play(&s, nullptr, 0);
  ASSERT_EQ(r.Card.FinishOutput(1), 1);
  r.Queue.ProcessMessages();
}

TEST(MixerPeak, ReadsTheMetersOfLinesThatHaveThem) {
  struct TCase {
    const char* Name;
    bool MonoWave;
    uint16_t Destination, Source;
    bool Result;
    int32_t Left, Right;
  };
  const TCase Cases[] = {
      {"stereo wave meter", false, 0, 1, true, 1000, 2000},
      {"master meter", false, 0, 0, true, 1000, 2000},
      {"one-channel meter gives Right = Left", true, 0, 1, true, 1000, 1000},
      {"line without meter", false, 0, 2, false, 7, 7},
      {"recording meter before any input", false, 1, 0, true, 0, 0},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    TRig r;
    if (c.MonoWave) r.Card.MonoLines = {{0, 1}};
    r.Make();
    PlayPeaks(r, 1000, 2000);
    int32_t L = 7, R = 7;
    EXPECT_EQ(r.Mixer().GetPeakLevel(c.Destination, c.Source, L, R), c.Result);
    EXPECT_EQ(L, c.Left);
    EXPECT_EQ(R, c.Right);
  }
}

TEST(MixerPeak, UnreadableMeterFailsWithoutText) {
  TRig r;
  r.Make();
  r.Audio->SetErrorMessage("before");
  r.Card.InjectFault("mixerGetControlDetailsA", MMSYSERR_ERROR);
  int32_t L = 7, R = 7;
  EXPECT_FALSE(r.Mixer().GetPeakLevel(0, 0, L, R));
  EXPECT_EQ(L, 7);
  EXPECT_EQ(r.Audio->ErrorMessage(), "before");
}

// ---------------------------------------------------------------------------
// Change notification

// A change made outside the program reaches OnMixerChange once, on the
// thread that pumps the queue, with the mixer as Sender.
TEST(MixerChange, OutsideChangeOfAKnownControlRaisesOneEvent) {
  struct TCase {
    const char* Name;
    uint32_t Destination, Line, Type;
    uint32_t Value;
  };
  const TCase Cases[] = {
      {"master volume", 0, 0, VOL, 100},         {"wave volume", 0, 1, VOL, 200},
      {"playback line-in mute", 0, 3, MUTE, 1},  {"recording line volume", 1, 0, VOL, 300},
      {"recording microphone volume", 1, 1, VOL, 400}, {"recording line-in mute", 1, 2, MUTE, 1},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    TRig r;
    r.Make();
    ASSERT_TRUE(r.Card.SetControlValue(r.Card.Control(c.Destination, c.Line, c.Type), {c.Value}));
    EXPECT_TRUE(r.Changes.empty()) << "raised before the UI thread pumped";
    EXPECT_EQ(r.Queue.ProcessMessages(), 1);
    ASSERT_EQ(r.Changed(), (TLines{{c.Destination, c.Line}}));
    EXPECT_EQ(r.Changes[0].Sender, &r.Mixer());
    EXPECT_EQ(r.Changes[0].Thread, std::this_thread::get_id());
  }
}

TEST(MixerChange, NoEventForMetersUnknownControlsOrUnchangedValues) {
  TRig r;
  r.Card.Hidden = {{0, 1, MUTE}};  // the card has it, the list does not
  r.Make();
  TMixerSettings& m = r.Mixer();
  auto Post = [&](uint32_t Id) { r.Queue.PostMessage(m.Window(), MM_MIXM_CONTROL_CHANGE, 0, Id); };
  Post(r.Card.Control(0, 0, METER));
  Post(r.Card.Control(1, 0, METER));
  Post(999);
  Post(NoControl);  // a line without mute has this as its MuteID
  r.Queue.PostMessage(m.Window(), MM_MIXM_LINE_CHANGE, 0, r.Card.Control(0, 1, VOL));
  EXPECT_TRUE(r.Card.SetControlValue(r.Card.Control(0, 1, MUTE), {1}));
  EXPECT_TRUE(r.Card.SetControlValue(r.Card.Control(0, 1, VOL), {65535}));  // as it was
  r.Queue.ProcessMessages();
  EXPECT_TRUE(r.Changes.empty());

  r.Audio->OnMixerChange = nullptr;
  EXPECT_TRUE(r.Card.SetControlValue(r.Card.Control(0, 1, VOL), {1}));
  EXPECT_EQ(r.Queue.ProcessMessages(), 1);
}

TEST(MixerChange, OwnWritesComeBackOncePerChangedControl) {
  TRig r;
  r.Make();
  TMixerSettings& m = r.Mixer();
  ASSERT_TRUE(m.SetVolumeMute(0, 1, 100, 100, true));  // volume and mute change
  r.Queue.ProcessMessages();
  EXPECT_EQ(r.Changed(), (TLines{{0, 1}, {0, 1}}));
  r.Changes.clear();
  ASSERT_TRUE(m.SetVolumeMute(0, 1, 100, 100, true));  // nothing changes
  ASSERT_TRUE(m.SetVolumeMute(0, 4, 100, 100, true));  // only the volume (no mute)
  r.Queue.ProcessMessages();
  EXPECT_EQ(r.Changed(), (TLines{{0, 4}}));
}

// The window's handler reads the line inside the event.
TEST(MixerChange, HandlerReadsTheNewValue) {
  TRig r;
  r.Make();
  uint16_t Seen = 0;
  r.Audio->OnMixerChange = [&](TPersistent* Sender, uint16_t d, uint16_t s) {
    uint16_t L, R;
    bool Mute;
    uint8_t Flags;
    static_cast<TMixerSettings*>(Sender)->GetVolumeMute(d, s, L, R, Mute, Flags);
    Seen = L;
  };
  r.Card.SetControlValue(r.Card.Control(1, 1, VOL), {12345});
  r.Queue.ProcessMessages();
  EXPECT_EQ(Seen, 12345);
}

// A re-open drops changes the old connection reported and closes it, so each
// change is heard once.
TEST(MixerChange, ReopenDropsWaitingChangesAndListensOnce) {
  TRig r;
  r.Card.SetDeviceCounts(1, 1, 2);
  r.Make();
  r.Card.SetControlValue(r.Card.Control(0, 1, VOL), {10});
  r.Audio->SetMixerDeviceID(1);
  r.Queue.ProcessMessages();
  EXPECT_TRUE(r.Changes.empty());
  r.Card.SetControlValue(r.Card.Control(0, 1, VOL), {20});
  r.Queue.ProcessMessages();
  EXPECT_EQ(r.Changed(), (TLines{{0, 1}}));
}

TEST(MixerChange, NothingArrivesAfterTheComponentIsGone) {
  {
    SCOPED_TRACE("a change waiting in the queue");
    TRig r;
    r.Make();
    r.Card.SetControlValue(r.Card.Control(0, 1, VOL), {10});
    r.Audio.reset();
    r.Queue.ProcessMessages();  // reaches no freed window (the sanitizer run checks)
    EXPECT_TRUE(r.Changes.empty());
  }
  {
    SCOPED_TRACE("the connection could not be closed");
    TRig r;
    r.Make();
    r.Card.InjectFault("mixerClose", MMSYSERR_ERROR);
    r.Audio.reset();
    r.Card.ClearFaults();
    r.Card.SetControlValue(r.Card.Control(0, 1, VOL), {10});  // the card still calls the old connection
    EXPECT_EQ(r.Queue.Pending(), 0u);
    EXPECT_TRUE(r.Changes.empty());
  }
}

// ---------------------------------------------------------------------------
// The lines of the window's mixer panel, found by name as the panel does.

TEST(MixerLookup, TheSixPanelLinesAreFoundOnTheVirtualCard) {
  TRig r;
  r.Make();
  TMixerSettings& m = r.Mixer();
  struct TRow {
    const char* Dest;
    const char* Source;
    int Destination, SourceIndex;
    const char* Name;
    uint8_t Flags;
  };
  const TRow Rows[] = {
      {"Volume", "Volume", 0, 0, "Volume Control", 0x00}, {"Volume", "Wave", 0, 1, "Wave", 0x00},
      {"Recording", "Line", 1, 2, "Line In", 0x00},       {"Recording", "Microphone", 1, 1, "Microphone", 0x40},
      {"Volume", "Microphone", 0, 2, "Microphone", 0x40}, {"Volume", "Line", 0, 3, "Line In", 0x00},
  };
  for (const TRow& w : Rows) {
    SCOPED_TRACE(std::string(w.Dest) + "/" + w.Source);
    int d = 0, s = 0;
    m.FindLine(w.Dest, w.Source, d, s);
    ASSERT_EQ(d, w.Destination);
    ASSERT_EQ(s, w.SourceIndex);
    EXPECT_EQ(m.SourceNames(static_cast<uint16_t>(d))[static_cast<size_t>(s)], w.Name);
    // Usable as the panel uses it: written with both channels, read back.
    const auto D = static_cast<uint16_t>(d), S = static_cast<uint16_t>(s);
    EXPECT_TRUE(m.SetVolumeMute(D, S, 45875, 45875, false));
    uint16_t L = 0, R = 0;
    bool Mute = true;
    uint8_t Flags = 0xFF;
    EXPECT_TRUE(m.GetVolumeMute(D, S, L, R, Mute, Flags));
    EXPECT_EQ(L, 45875);
    EXPECT_FALSE(Mute);
    EXPECT_EQ(Flags, w.Flags);
  }
}

TEST(MixerLookup, LastMatchWinsAndMissingNamesGiveMinusOne) {
  TRig r;
  r.Card.Hidden = {{0, 3, VOL}, {0, 3, MUTE}};  // playback Line In unlisted
  r.Make();
  TMixerSettings& m = r.Mixer();
  struct TRow {
    const char* Dest;
    const char* Source;
    int Destination, SourceIndex;
  };
  const TRow Rows[] = {
      {"Control", "Control", 1, 0},     // both destinations match: the later one
      {"Volume", "Line", 0, -1},        // the only Line is unlisted
      {"Volume", "o", 0, 4},            // last of several
      {"Nothing", "Wave", -1, -1},      // no destination: no source search
      {"Recording", "Mic", 1, 1},
      {"Recording", "microphone", 1, -1},  // case-sensitive
      {"Volume", "", 0, -1},               // an empty fragment matches nothing
  };
  for (const TRow& w : Rows) {
    SCOPED_TRACE(std::string(w.Dest) + "/" + w.Source);
    int d = 5, s = 5;
    m.FindLine(w.Dest, w.Source, d, s);
    EXPECT_EQ(d, w.Destination);
    EXPECT_EQ(s, w.SourceIndex);
  }
}

}  // namespace
}  // namespace quellmarin::testing
