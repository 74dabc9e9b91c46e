// The Audio page's mixer rows, the sound-system report and the about box, on
// the virtual sound card (its mixer has all six lines the rows look for).

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <map>
#include <tuple>

#include <chrono>
#include <thread>

#include "GuiFixture.h"
#include "app/Reabout.h"
#include "audio/MixerCard.h"

namespace quellmarin::testing {
namespace {

constexpr uint32_t VOL = MIXERCONTROL_CONTROLTYPE_VOLUME;
constexpr uint32_t MUTE = MIXERCONTROL_CONTROLTYPE_MUTE;
constexpr uint32_t OWN = TVirtualSoundCard::OwnLine;
using C = TVirtualSoundCard;

// The card's line behind each row (TMixerRow order).
struct TRowLine {
  TMainForm::TMixerRow Row;
  uint32_t Destination, Source;  // the card's numbering (OwnLine for a destination's own line)
  int32_t MixerDest, MixerSource;  // the mixer's numbering
  bool Mono;
};
const TRowLine RowLines[] = {
    {TMainForm::rowMaster, C::DestPlayback, OWN, 0, 0, false},
    {TMainForm::rowWave, C::DestPlayback, C::SrcWave, 0, 1, false},
    {TMainForm::rowOutMic, C::DestPlayback, C::SrcPlayMicrophone, 0, 2, true},
    {TMainForm::rowOutLine, C::DestPlayback, C::SrcPlayLineIn, 0, 3, false},
    {TMainForm::rowInMic, C::DestRecording, C::SrcRecMicrophone, 1, 1, true},
    {TMainForm::rowInLine, C::DestRecording, C::SrcRecLineIn, 1, 2, false},
};

// The mixer card with some lines renamed: (destination, line) as TMixerCard
// numbers them, line 0 the destination's own line.
class TNamedCard : public TMixerCard {
public:
  std::map<TKey, std::string> Names;
  MMRESULT mixerGetLineInfoA(HMIXER Handle, MIXERLINEA* Line, uint32_t Flags) override {
    const MMRESULT r = TMixerCard::mixerGetLineInfoA(Handle, Line, Flags);
    const TKey Key{Line->dwDestination, Flags == MIXER_GETLINEINFOF_DESTINATION ? 0 : Line->dwSource + 1};
    if (r == MMSYSERR_NOERROR && Names.count(Key))
      std::snprintf(Line->szName, sizeof Line->szName, "%s", Names[Key].c_str());
    return r;
  }
};

class MixerPanelTest : public GuiTest {
protected:
  uint32_t Id(const TRowLine& L, uint32_t Type) const { return Card->ControlID(L.Destination, L.Source, Type); }
  // Lets the window handle the mixer's change notifications.
  void Pump() { Form->Queue().ProcessMessages(); }
  std::string StatusText() const { return Form->sbar1Panels[2]->text().toStdString(); }
};

TEST_F(MixerPanelTest, StartUpShowsEachRowsLineAndWritesNothing) {
  auto Prepared = std::make_unique<TMixerCard>();
  TMixerCard& M = *Prepared;
  // Distinct settings per line: volume and mute.
  const uint32_t Volumes[] = {65535, 32768, 655, 0, 45874, 1000};
  const bool Mutes[] = {false, true, false, true, false, true};
  for (const TRowLine& L : RowLines) {
    M.SetControlValue(M.ControlID(L.Destination, L.Source, VOL), {Volumes[L.Row]});
    M.SetControlValue(M.ControlID(L.Destination, L.Source, MUTE), {Mutes[L.Row]});
  }
  TMainForm& F = OpenOn(std::move(Prepared));
  const int Positions[] = {100, 50, 1, 0, 70, 2};
  for (const TRowLine& L : RowLines) {
    SCOPED_TRACE(L.Row);
    EXPECT_EQ(F.MixerSlider(L.Row)->value(), Positions[L.Row]);
    EXPECT_EQ(F.MixerBox(L.Row)->isChecked(), !Mutes[L.Row]);
    EXPECT_TRUE(F.MixerSlider(L.Row)->isEnabled());
    EXPECT_TRUE(F.MixerBox(L.Row)->isEnabled());
    EXPECT_FALSE(F.MixerRowMissing(L.Row));
    // Showing a setting does not round it to the slider's steps.
    EXPECT_EQ(M.ControlValue(Id(L, VOL)), static_cast<int32_t>(Volumes[L.Row]));
  }
  EXPECT_TRUE(M.WriteChannels.empty());
  EXPECT_TRUE(F.ButtonAutoSetAudio->isEnabled());
  EXPECT_EQ(StatusText(), "");
  EXPECT_TRUE(Errors.empty());

  // The hidden lists: destinations, and the lines of the selected one.
  ASSERT_EQ(F.DestSel->count(), 2);
  EXPECT_EQ(F.DestSel->currentText(), "Volume Control");
  EXPECT_EQ(F.SourceSel->currentIndex(), 0);
  QStringList Sources;
  for (int i = 0; i < F.SourceSel->count(); ++i) Sources << F.SourceSel->itemText(i);
  EXPECT_EQ(Sources, QStringList({"Volume Control", "Wave", "Microphone", "Line In", "CD Audio"}));
  F.DestSel->setCurrentIndex(1);
  F.DestSelChange();
  EXPECT_EQ(F.SourceSel->count(), 3);
  EXPECT_EQ(F.SourceSel->currentText(), "Recording Control");
}

TEST_F(MixerPanelTest, MovingASliderOrABoxWritesItsLine) {
  TMainForm& F = Open();
  for (const TRowLine& L : RowLines) {
    SCOPED_TRACE(L.Row);
    QSlider* Slider = F.MixerSlider(L.Row);
    QCheckBox* Box = F.MixerBox(L.Row);
    for (int p : {37, 100, 0, 50, 1, 99}) {
      Slider->setValue(p);
      const auto v = static_cast<int32_t>(std::nearbyint(p * 655.35));
      EXPECT_EQ(Card->ControlValue(Id(L, VOL), 0), v) << p;
      EXPECT_EQ(Card->ControlValue(Id(L, VOL), 1), v) << p;
      // The change comes back from the mixer and leaves the slider where it is.
      Pump();
      EXPECT_EQ(Slider->value(), p);
    }
    Box->click();
    EXPECT_EQ(Card->ControlValue(Id(L, MUTE)), Box->isChecked() ? 0 : 1);
    Box->click();
    EXPECT_EQ(Card->ControlValue(Id(L, MUTE)), Box->isChecked() ? 0 : 1);
    Pump();
  }
  // 70 x 655.35 lies halfway between two mixer steps: the even one.
  Card->SetControlValue(Id(RowLines[0], VOL), {1});
  Pump();
  F.TrackBar7->setValue(70);
  EXPECT_EQ(Card->ControlValue(Id(RowLines[0], VOL)), 45874);
  F.TrackBar7->setValue(100);
  EXPECT_EQ(Card->ControlValue(Id(RowLines[0], VOL)), 65535);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(MixerPanelTest, AChangeFromOutsideMovesTheRowAndStaysAsMade) {
  auto Prepared = std::make_unique<TMixerCard>();
  TMixerCard& M = *Prepared;
  TMainForm& F = OpenOn(std::move(Prepared));
  struct Case {
    const char* Name;
    TMainForm::TMixerRow Row;
    uint32_t Volume;
    bool Mute;
    int Position;
  } Cases[] = {
      {"volume only", TMainForm::rowWave, 32768, false, 50},
      {"between two steps", TMainForm::rowOutLine, 1000, false, 2},
      {"mute only", TMainForm::rowInLine, 65535, true, 100},
      {"volume and mute together", TMainForm::rowMaster, 6554, true, 10},
      {"one-channel line", TMainForm::rowInMic, 0, true, 0},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    const TRowLine& L = RowLines[c.Row];
    M.WriteChannels.clear();
    M.SetControlValue(Id(L, VOL), {c.Volume});
    M.SetControlValue(Id(L, MUTE), {c.Mute});
    Pump();
    EXPECT_EQ(F.MixerSlider(c.Row)->value(), c.Position);
    EXPECT_EQ(F.MixerBox(c.Row)->isChecked(), !c.Mute);
    // Nothing is written back: the mixer keeps what the other program set.
    EXPECT_TRUE(M.WriteChannels.empty());
    EXPECT_EQ(M.ControlValue(Id(L, VOL)), static_cast<int32_t>(c.Volume));
    EXPECT_EQ(M.ControlValue(Id(L, MUTE)), c.Mute ? 1 : 0);
  }
  // Other rows did not move.
  EXPECT_EQ(F.TrackBar6->value(), 50);
  EXPECT_EQ(F.TrackBar4->value(), 100);
}

// A line without a mute control gets a disabled box and a working slider; a
// line without a volume control a disabled slider and a working box.
TEST_F(MixerPanelTest, LinesWithoutMuteOrVolume) {
  auto Prepared = std::make_unique<TMixerCard>();
  TMixerCard& M = *Prepared;
  M.Hidden = {{0, 2, MUTE}, {1, 2, VOL}};  // playback Microphone, recording Line In
  TMainForm& F = OpenOn(std::move(Prepared));
  EXPECT_FALSE(F.CheckBox4->isEnabled());
  EXPECT_TRUE(F.CheckBox4->isChecked());
  EXPECT_TRUE(F.TrackBar4->isEnabled());
  F.TrackBar4->setValue(20);
  EXPECT_EQ(M.ControlValue(Id(RowLines[TMainForm::rowOutMic], VOL)), 13107);

  EXPECT_TRUE(F.CheckBox3->isEnabled());
  EXPECT_FALSE(F.TrackBar3->isEnabled());
  F.CheckBox3->click();
  EXPECT_EQ(M.ControlValue(Id(RowLines[TMainForm::rowInLine], MUTE)), F.CheckBox3->isChecked() ? 0 : 1);
  Pump();
  EXPECT_EQ(F.sbar1Panels[2]->text(), "");
  EXPECT_TRUE(Errors.empty());
}

TEST_F(MixerPanelTest, AutoSetAudio) {
  TMainForm& F = Open();
  F.CheckBox4->click();  // out-Mic muted already: its box does not change
  F.TrackBar2->setValue(3);
  Pump();
  F.ButtonAutoSetAudio->click();
  Pump();
  const struct {
    TMainForm::TMixerRow Row;
    bool On;
    int Position;
    int32_t Volume;
  } Expected[] = {
      {TMainForm::rowMaster, true, 70, 45874}, {TMainForm::rowWave, true, 70, 45874},
      {TMainForm::rowOutMic, false, 40, 26214}, {TMainForm::rowOutLine, false, 40, 26214},
      {TMainForm::rowInMic, true, 70, 45874},  {TMainForm::rowInLine, true, 70, 45874},
  };
  for (const auto& e : Expected) {
    SCOPED_TRACE(e.Row);
    EXPECT_EQ(F.MixerBox(e.Row)->isChecked(), e.On);
    EXPECT_EQ(F.MixerSlider(e.Row)->value(), e.Position);
    EXPECT_EQ(Card->ControlValue(Id(RowLines[e.Row], VOL), 0), e.Volume);
    EXPECT_EQ(Card->ControlValue(Id(RowLines[e.Row], VOL), 1), e.Volume);
    EXPECT_EQ(Card->ControlValue(Id(RowLines[e.Row], MUTE)), e.On ? 0 : 1);
  }
  EXPECT_TRUE(Errors.empty());
}

// The rows find their lines by name fragments: the last destination and the
// last line that contain the fragment; a row whose line is not found is
// disabled and named once in the status bar, and start-up goes on.
TEST_F(MixerPanelTest, LookupByName) {
  using K = TMixerCard::TKey;
  struct Case {
    const char* Name;
    std::map<K, std::string> Names;
    bool NoMixer;
    int32_t Lines[TMainForm::MixerRows][2];  // (destination, source) per row, TMixerRow order
    const char* Status;
  } Cases[] = {
      {"the card as it is", {}, false, {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 1}, {1, 2}}, ""},
      {"two Volume destinations: the later one",
       {{K{1, 0}, "Recording Volume"}},
       false,
       {{1, 0}, {1, -1}, {1, 1}, {1, 2}, {1, 1}, {1, 2}},
       "Mixer lines not found: Wave"},
      {"a line called just Mic is not the Microphone",
       {{K{0, 2}, "Mic"}, {K{1, 1}, "Mic"}},
       false,
       {{0, 0}, {0, 1}, {0, -1}, {0, 3}, {1, -1}, {1, 2}},
       "Mixer lines not found: Mic in, Mic out"},
      {"several lines contain Line: the last one",
       {{K{0, 4}, "Line 2"}},
       false,
       {{0, 0}, {0, 1}, {0, 2}, {0, 4}, {1, 1}, {1, 2}},
       ""},
      {"no destination matches",
       {{K{0, 0}, "Master"}, {K{1, 0}, "Capture"}},
       false,
       {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}},
       "Mixer lines not found: Master, Wave, Line in, Mic in, Mic out, Line out"},
      {"no mixer",
       {},
       true,
       {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}},
       "No mixer: the volume controls are disabled"},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    Errors.clear();
    Form.reset();
    auto Prepared = std::make_unique<TNamedCard>();
    Prepared->Names = c.Names;
    if (c.NoMixer) Prepared->SetDeviceCounts(1, 1, 0);
    TMainForm& F = OpenOn(std::move(Prepared));
    const char* const Names[TMainForm::MixerRows][2] = {{"Volume", "Volume"},    {"Volume", "Wave"},
                                                        {"Volume", "Microphone"}, {"Volume", "Line"},
                                                        {"Recording", "Microphone"}, {"Recording", "Line"}};
    for (int r = 0; r < TMainForm::MixerRows; ++r) {
      SCOPED_TRACE(r);
      const auto Row = static_cast<TMainForm::TMixerRow>(r);
      int32_t D = 7, S = 7;
      const bool Found = F.GetMixerDestSource(Names[r][0], Names[r][1], D, S);
      EXPECT_EQ(D, c.Lines[r][0]);
      EXPECT_EQ(S, c.Lines[r][1]);
      EXPECT_EQ(Found, S >= 0);
      EXPECT_EQ(F.MixerRowMissing(Row), !Found);
      EXPECT_EQ(F.MixerSlider(Row)->isEnabled(), Found);
      // A found row's box is enabled when its line can be muted.
      if (!Found) {
        EXPECT_FALSE(F.MixerBox(Row)->isEnabled());
      }
    }
    EXPECT_EQ(StatusText(), c.Status);
    // Start-up went on past the missing lines, without an error box.
    EXPECT_TRUE(Errors.empty());
    EXPECT_EQ(F.Label9->text(), "2000 Hz");
    // "Auto set audio" sets the rows that have a line and sends nothing for the others.
    F.ButtonAutoSetAudio->click();
    Pump();
    EXPECT_TRUE(Errors.empty());
  }
}

TEST_F(MixerPanelTest, GaugeShowsTheRecordingLevel) {
  TMainForm& F = Open();
  F.SpeedButton1->click();
  Card->FillInput(1);
  for (int i = 0; i < 10000 && F.Loop()->Handled() < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Pump();
  F.Timer1Timer();
  const int32_t Meter =
      Card->ControlValue(Card->ControlID(C::DestRecording, OWN, MIXERCONTROL_CONTROLTYPE_PEAKMETER));
  EXPECT_GT(Meter, 1000);
  EXPECT_EQ(F.Gauge1->value(), Meter);
  // The virtual card recovers from no dropouts: nothing to say.
  EXPECT_EQ(F.sbar1Panels[1]->text(), "");

  // A meter that cannot be read shows 0.
  Card->InjectFault("mixerGetControlDetailsA", MMSYSERR_ERROR);
  Card->FillInput(1);
  for (int i = 0; i < 10000 && F.Loop()->Handled() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Pump();
  F.Timer1Timer();
  EXPECT_EQ(F.Gauge1->value(), 0);
  Card->ClearFaults();
  F.SpeedButton1->click();
  EXPECT_TRUE(Errors.empty());
}

TEST_F(MixerPanelTest, QuerySoundSystemAppendsTheReportEachTime) {
  TMainForm& F = Open();
  int Played = 0;
  auto Handler = F.Audio1->OnPlayed;
  F.Audio1->OnPlayed = [&](TPersistent* Sender) {
    ++Played;
    Handler(Sender);
  };
  F.Audio1->SetAudioDeviceID(0);
  const QString Once =
      "Virtual Sound Card\n"
      "Full-duplex support, 11.025/22.05/44.1 kHz, Mono/Stereo, 8/16-bit, Playback Controls: Separate L/R Volume\n"
      "Virtual Mixer\n"
      "Mixer devices present: 1. DeviceID 0 has:\n"
      "Volume Control: Wave, Microphone, Line In, CD Audio, \n"
      "Recording Control: Microphone, Line In, ";
  ASSERT_TRUE(F.Query->isEnabled());
  F.Query->click();
  Pump();
  EXPECT_EQ(F.Memo1->toPlainText(), Once);
  EXPECT_EQ(Played, 1);
  F.Query->click();
  Pump();
  EXPECT_EQ(F.Memo1->toPlainText(), Once + "\n" + Once);
  EXPECT_EQ(Played, 2);
  EXPECT_EQ(Card->OpenWaveDevices(), 0);
  EXPECT_EQ(F.Status->text(), "Idle");
  EXPECT_TRUE(Errors.empty());
}

// The device lists on a sound system other than ALSA: "default" and each
// device by its product name. A choice while stopped is taken; during a run
// it is refused, the list shows the device in use, and the audio layer keeps
// its devices too.
TEST_F(MixerPanelTest, DeviceChoiceIsTakenWhenStoppedAndRefusedDuringARun) {
  TMainForm& F = Open();
  auto Choose = [&](QComboBox* Combo, const QString& Name) {
    Combo->setCurrentIndex(Combo->findData(Name));
    if (Combo == F.ComboInputDevice)
      F.ComboInputDeviceChange();
    else
      F.ComboOutputDeviceChange();
  };
  for (QComboBox* Combo : {F.ComboInputDevice, F.ComboOutputDevice}) {
    ASSERT_EQ(Combo->count(), 2);
    EXPECT_EQ(Combo->itemData(0).toString(), "default");
    EXPECT_EQ(Combo->itemData(1).toString(), "Virtual Sound Card #0");
    EXPECT_EQ(Combo->currentIndex(), 0);
  }
  Choose(F.ComboInputDevice, "Virtual Sound Card #0");
  EXPECT_EQ(F.Audio1->InputDeviceID(), 0u);
  EXPECT_EQ(F.Audio1->OutputDeviceID(), WAVE_MAPPER);

  F.SpeedButton1->click();
  ASSERT_TRUE(F.Recording());
  Choose(F.ComboOutputDevice, "Virtual Sound Card #0");
  EXPECT_EQ(StatusText(), "The devices cannot change during a run: release \"Sample\" first");
  EXPECT_EQ(F.ComboOutputDevice->currentData().toString(), "default");
  EXPECT_EQ(F.Audio1->OutputDeviceID(), WAVE_MAPPER);
  EXPECT_FALSE(F.Audio1->SetWaveDevices(0, 0));
  EXPECT_EQ(F.Audio1->ErrorMessage(), "The wave device cannot change while a device is open");
  EXPECT_EQ(F.Audio1->InputDeviceID(), 0u);
  F.SpeedButton1->click();
  Pump();

  Choose(F.ComboOutputDevice, "Virtual Sound Card #0");
  EXPECT_EQ(F.Audio1->OutputDeviceID(), 0u);
  EXPECT_EQ(F.ComboOutputDevice->currentData().toString(), "Virtual Sound Card #0");
  EXPECT_TRUE(Errors.empty());
}

TEST_F(MixerPanelTest, AboutOpensTheBoxAndTheWindowHasTheIcon) {
  TMainForm& F = Open();
  EXPECT_FALSE(F.windowIcon().isNull());
  bool Seen = false;
  QTimer::singleShot(0, [&] {
    auto* Box = qobject_cast<TAboutBox*>(QApplication::activeModalWidget());
    ASSERT_NE(Box, nullptr);
    Seen = true;
    EXPECT_EQ(Box->parent(), &F);
    EXPECT_EQ(Box->windowTitle(), "About Quellmarin");
    Box->OKButton->click();
  });
  F.About1->trigger();
  EXPECT_TRUE(Seen);
  EXPECT_TRUE(F.findChildren<TAboutBox*>().isEmpty());
  EXPECT_TRUE(Errors.empty());
}

}  // namespace
}  // namespace quellmarin::testing
