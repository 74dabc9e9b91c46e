// The record-filter-play cycle on the virtual sound card's manual clock: the
// test says when an input buffer fills and when an output buffer has played.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QtCharts/QValueAxis>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "GuiFixture.h"

namespace quellmarin::testing {
namespace {

class CycleTest : public GuiTest {
protected:
  static constexpr size_t ReserveBytes = 2 * TLiveLoop::DefaultReserve;
  static constexpr int ChunksPerBlock = 10;  // the output's 10 ms chunks

  TMainForm& OpenRecording() { return Open(TVirtualSoundCard::ckManual); }
  // Blocks fill on the card's thread; the loop's thread takes them from there.
  // Returns when the loop has finished with them.
  void Fill(int Count = 1) {
    for (int i = 0; i < Count; ++i) {
      const uint64_t Before = Form->Loop()->Handled();
      Card->FillInput(1);
      WaitHandled(Before + 1);
    }
  }
  void WaitHandled(uint64_t Count) {
    for (int Waited = 0; Form->Loop()->Handled() < Count && Waited < 10000; ++Waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(Form->Loop()->Handled(), Count) << "the loop did not take the buffer";
  }
  void Finish(int Chunks = ChunksPerBlock) { Card->FinishOutput(Chunks); }
  static std::vector<uint8_t> Silence(size_t Bytes) { return std::vector<uint8_t>(Bytes, 0); }
  // The recorded samples of the block the last refresh showed.
  static void Keep(const TMainForm& F, std::vector<uint8_t>& In) {
    ASSERT_NE(F.Shown(), nullptr);
    const auto* p = reinterpret_cast<const uint8_t*>(F.Shown()->Input);
    In.insert(In.end(), p, p + 2 * F.Shown()->Samples);
  }
};

TEST_F(CycleTest, SampleRecordsFiltersAndPlaysEveryBlockOnceInOrder) {
  TMainForm& F = OpenRecording();
  F.SpeedButton1->click();
  EXPECT_TRUE(F.Recording());
  EXPECT_EQ(F.Status->text(), "Recording");
  EXPECT_FALSE(F.Query->isEnabled());

  // Steady state: one block in, one block out. The output keeps a short
  // reserve, so it never runs dry and the caption stays "Recording".
  std::vector<uint8_t> In;
  for (int k = 1; k <= 10; ++k) {
    Fill();
    EXPECT_TRUE(NewBlock.load());
    F.Timer1Timer();
    EXPECT_FALSE(NewBlock.load());
    Keep(F, In);
    EXPECT_EQ(F.Loop()->Backlog(), k == 1 ? 0 : TLiveLoop::DefaultReserve) << k;
    Finish();
    EXPECT_EQ(F.Status->text(), "Recording") << k;
  }
  EXPECT_FALSE(F.Query->isEnabled());
  EXPECT_EQ(F.Loop()->Underruns(), 0u);
  EXPECT_EQ(F.Loop()->DroppedFrames() + F.Loop()->PaddedFrames(), 0);

  // The test signal's sweep starts at 100 Hz and rises slowly; its 1000 Hz
  // companion is half as strong.
  EXPECT_NEAR(F.Label1->text().toInt(), 110, 15);
  EXPECT_EQ(F.BarPoints().size(), 50);

  F.SpeedButton1->click();
  EXPECT_EQ(F.Status->text(), "Idle");
  EXPECT_TRUE(F.Query->isEnabled());
  EXPECT_EQ(Card->OpenWaveDevices(), 0);
  // Filter off: what was played is the reserve of silence, then every
  // recorded block unchanged and in order, as far as the output got.
  std::vector<uint8_t> Expected = Silence(ReserveBytes);
  Expected.insert(Expected.end(), In.begin(), In.end());
  const std::vector<uint8_t> Played = Card->Played();
  ASSERT_EQ(Played.size(), 10u * ChunksPerBlock * 400);
  EXPECT_TRUE(std::equal(Played.begin(), Played.end(), Expected.begin()));
}

// The loop never waits on the window: while the window's thread is busy for
// a second (a modal box, a slow redraw), blocks keep coming and going on the
// card's clock, none is lost and the output never runs dry.
TEST_F(CycleTest, BlocksFlowWhileTheWindowIsBusy) {
  TMainForm& F = OpenRecording();
  std::vector<uint8_t> In(40 * 4000);
  std::atomic<int> Seen{0};
  F.Loop()->OnBlock = [&](const int16_t* Input, const int16_t*, int32_t Frames) {
    const int k = Seen.load();
    if (k < 40 && Frames == 2000) std::memcpy(&In[static_cast<size_t>(k) * 4000], Input, 4000);
    Seen.store(k + 1);
  };
  F.SpeedButton1->click();
  std::thread Clock([&] {
    for (int k = 0; k < 40; ++k) {
      const uint64_t Before = F.Loop()->Handled();
      Card->FillInput(1);
      while (F.Loop()->Handled() <= Before) std::this_thread::sleep_for(std::chrono::microseconds(200));
      Card->FinishOutput(ChunksPerBlock);
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the window's thread is busy
  Clock.join();
  EXPECT_EQ(Seen.load(), 40);
  EXPECT_EQ(F.Loop()->Underruns(), 0u);
  F.Timer1Timer();
  EXPECT_EQ(F.Status->text(), "Recording");
  F.SpeedButton1->click();
  F.Loop()->OnBlock = nullptr;
  std::vector<uint8_t> Expected = Silence(ReserveBytes);
  Expected.insert(Expected.end(), In.begin(), In.end());
  const std::vector<uint8_t> Played = Card->Played();
  ASSERT_EQ(Played.size(), 40u * ChunksPerBlock * 400);
  EXPECT_TRUE(std::equal(Played.begin(), Played.end(), Expected.begin()));
}

TEST_F(CycleTest, StatusBlinksOncePerBlock) {
  TMainForm& F = OpenRecording();
  auto Colour = [&] { return F.Status->palette().color(QPalette::WindowText); };
  F.SpeedButton1->click();
  EXPECT_EQ(Colour(), QColor(Qt::black));
  const QColor Expected[] = {QColor(255, 255, 0), QColor(0, 128, 0), QColor(255, 255, 0)};
  for (const QColor& C : Expected) {
    Fill();
    F.Timer1Timer();
    EXPECT_EQ(Colour(), C);
    Finish();
  }
  Fill(2);  // two blocks between refreshes: two blinks
  F.Timer1Timer();
  EXPECT_EQ(Colour(), QColor(255, 255, 0));
  EXPECT_EQ(F.Status->text(), "Recording");
  F.SpeedButton1->click();
}

TEST_F(CycleTest, OutputThatRanDryStartsAgainWithItsReserveAndStaysRecording) {
  TMainForm& F = OpenRecording();
  F.SpeedButton1->click();
  std::vector<uint8_t> In;
  Fill();
  F.Timer1Timer();
  Keep(F, In);
  Finish(ChunksPerBlock + 3);  // the reserve and the block: the output runs dry
  Fill();
  F.Timer1Timer();
  Keep(F, In);
  Finish(ChunksPerBlock + 4);
  EXPECT_EQ(F.Status->text(), "Recording");
  EXPECT_FALSE(F.Query->isEnabled());
  EXPECT_EQ(F.Loop()->Underruns(), 1u);
  EXPECT_EQ(F.Loop()->ReserveInUse(), TLiveLoop::DefaultReserve + TLiveLoop::ReserveStep);
  EXPECT_TRUE(F.sbar1Panels[1]->text().startsWith("Overruns/underruns: 1")) << F.sbar1Panels[1]->text().toStdString();
  std::vector<uint8_t> Expected = Silence(ReserveBytes);
  Expected.insert(Expected.end(), In.begin(), In.begin() + 4000);
  // After running dry the output keeps 10 ms more in reserve.
  const std::vector<uint8_t> Reserve = Silence(ReserveBytes + 2 * TLiveLoop::ReserveStep);
  Expected.insert(Expected.end(), Reserve.begin(), Reserve.end());
  Expected.insert(Expected.end(), In.begin() + 4000, In.end());
  EXPECT_TRUE(Card->Played() == Expected);
  F.SpeedButton1->click();
}

TEST_F(CycleTest, Trigger) {
  struct Case {
    bool TriggerOn;
    int Position;
    bool Delivered;
  };
  // The test signal peaks near 0.6 of full scale (about 19 700).
  const Case Cases[] = {{false, 0, true}, {true, 0, false}, {true, 90, true}, {true, 100, true}};
  for (const Case& C : Cases) {
    SCOPED_TRACE(::testing::Message() << C.TriggerOn << " " << C.Position);
    TMainForm& F = OpenRecording();
    F.TrigLvl->setValue(C.Position);
    F.CheckTrigger->setChecked(C.TriggerOn);
    EXPECT_EQ(F.Audio1->Recorder()->Triggered(), !C.TriggerOn);
    F.SpeedButton1->click();
    Fill(2);
    EXPECT_EQ(NewBlock.load(), C.Delivered);
    EXPECT_EQ(F.Loop()->Blocks(), C.Delivered ? 2u : 0u);
    EXPECT_EQ(F.Loop()->HeldBack(), C.Delivered ? 0u : 2u);
    EXPECT_EQ(F.Status->text(), "Recording");
    // In trigger mode every block must itself reach the level.
    if (C.TriggerOn) {
      EXPECT_FALSE(F.Audio1->Recorder()->Triggered());
    }
    F.SpeedButton1->click();
    Form.reset();
  }
}

TEST_F(CycleTest, TriggerLevelFollowsTheSlider) {
  TMainForm& F = Open();
  const std::pair<int, int> Cases[] = {{0, 32767}, {90, 3277}, {50, 16384}, {100, 0}};
  for (auto [Position, Level] : Cases) {
    F.TrigLvl->setValue(Position);
    EXPECT_EQ(F.Audio1->Recorder()->TrigLevel(), Level) << Position;
    EXPECT_EQ(F.Label4->text(), QString::number(Position));
  }
}

// Every way a run ends by itself reaches the window: the button comes up,
// the caption reads "Idle" and the status bar says why; the next press
// starts a new run.
TEST_F(CycleTest, RunsThatEndByThemselvesBringTheButtonUpWithTheReason) {
  struct Case {
    const char* Name;
    bool Trigger;
    std::function<void(TVirtualSoundCard&)> Fault;
    const char* Reason;
  };
  const Case Cases[] = {
      {"empty buffer", false, [](TVirtualSoundCard& C) { C.ReturnInput(0); },
       "Recording ended: the input device delivered no more sound"},
      // The trigger holds back quiet blocks, never the end of the input.
      {"input vanishes in trigger mode", true, [](TVirtualSoundCard& C) { C.VanishInput(); },
       "Recording ended: the input device delivered no more sound"},
      {"hand-back fails", false,
       [](TVirtualSoundCard& C) {
         C.InjectFault("waveInAddBuffer", MMSYSERR_NOMEM, "no room for the buffer");
         C.FillInput(1);
       },
       "Error adding input buffer: no room for the buffer"},
      {"output fails for good", false,
       [](TVirtualSoundCard& C) {
         C.InjectFault("waveOutWrite", MMSYSERR_NODRIVER, "the output is gone");
         C.InjectFault("waveOutOpen", MMSYSERR_NODRIVER, "the output is gone");
         C.FillInput(1);
       },
       "Error writing to the output device: the output is gone"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    TMainForm& F = OpenRecording();
    F.TrigLvl->setValue(100);
    F.CheckTrigger->setChecked(C.Trigger);
    F.SpeedButton1->click();
    Fill();
    const uint64_t Before = F.Loop()->Handled();
    C.Fault(*Card);
    WaitHandled(Before + 1);
    EXPECT_EQ(F.Loop()->State(), TLiveLoop::rsEnded);
    F.Timer1Timer();
    EXPECT_EQ(F.Status->text(), "Idle");
    EXPECT_FALSE(F.SpeedButton1->isChecked());
    EXPECT_FALSE(F.Recording());
    EXPECT_FALSE(F.Audio1->Recorder()->DeviceOpen());
    EXPECT_EQ(F.sbar1Panels[2]->text().toStdString(), C.Reason);
    Card->ClearFaults();
    if (std::string(C.Name) != "input vanishes in trigger mode") {
      F.SpeedButton1->click();
      EXPECT_TRUE(F.Recording());
      F.SpeedButton1->click();
    }
    Form.reset();
  }
}

// An output write that fails once is recovered: the output is reopened, the
// restart counted and shown, and recording goes on.
TEST_F(CycleTest, OutputThatFailsOnceIsReopened) {
  TMainForm& F = OpenRecording();
  F.SpeedButton1->click();
  Fill();
  Card->InjectFault("waveOutWrite", MMSYSERR_NOMEM, "a hiccup", 0, 1);
  Fill();
  F.Timer1Timer();
  EXPECT_EQ(F.Loop()->State(), TLiveLoop::rsRunning);
  EXPECT_EQ(F.Loop()->OutputRestarts(), 1u);
  EXPECT_EQ(F.Status->text(), "Recording");
  EXPECT_TRUE(F.sbar1Panels[1]->text().startsWith("Overruns/underruns: 1"));
  F.SpeedButton1->click();
}

TEST_F(CycleTest, FailedStartIsShownAndTheButtonComesUp) {
  TMainForm& F = OpenRecording();
  Card->InjectFault("waveInOpen", MMSYSERR_ALLOCATED, "the input is busy", 0, 1);
  F.SpeedButton1->click();
  EXPECT_TRUE(F.sbar1Panels[2]->text().startsWith("Could not open the input device for recording:"))
      << F.sbar1Panels[2]->text().toStdString();
  EXPECT_TRUE(F.sbar1Panels[2]->text().contains("the input is busy"));
  EXPECT_EQ(F.Status->text(), "Idle");
  EXPECT_FALSE(F.SpeedButton1->isChecked());
  EXPECT_FALSE(F.Recording());
  F.SpeedButton1->click();  // the next press records
  EXPECT_EQ(F.Status->text(), "Recording");
  F.SpeedButton1->click();
}

TEST_F(CycleTest, OutputThatCannotOpenIsShown) {
  TMainForm& F = OpenRecording();
  Card->InjectFault("waveOutOpen", MMSYSERR_ALLOCATED, "the output is busy");
  F.SpeedButton1->click();
  Fill();
  EXPECT_EQ(F.Status->text(), "Recording");  // recording and the display go on
  EXPECT_TRUE(F.sbar1Panels[2]->text().contains("the output is busy")) << F.sbar1Panels[2]->text().toStdString();
  F.SpeedButton1->click();
  EXPECT_TRUE(F.Query->isEnabled());
}

TEST_F(CycleTest, PressingSampleRestartsSpectrumPeakHold) {
  TMainForm& F = OpenRecording();
  F.SpeedButton1->click();
  for (int i = 0; i < 2; ++i) {
    Fill();
    F.Timer1Timer();
    Finish();
  }
  EXPECT_GT(F.Chart1Left->max(), 1000);
  F.SpeedButton1->click();
  F.SpeedButton1->click();
  EXPECT_EQ(F.Chart1Left->max(), 1);
  F.SpeedButton1->click();
}

TEST_F(CycleTest, ClosingWhileRecordingStopsBothDevicesFirst) {
  TMainForm& F = OpenRecording();
  F.SpeedButton1->click();
  Fill();
  EXPECT_EQ(Card->OpenWaveDevices(), 2);
  F.close();
  EXPECT_EQ(Card->OpenWaveDevices(), 0);
  EXPECT_NE(GetSettings().find("ExpDecayOn=0"), std::string::npos);
}

}  // namespace
}  // namespace quellmarin::testing
