// The record-filter-play cycle on the virtual sound card's manual clock: the
// test says when an input buffer fills and when an output buffer has played.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QtCharts/QValueAxis>
#include <cstring>
#include <mutex>

#include "GuiFixture.h"

namespace quellmarin::testing {
namespace {

class CycleTest : public GuiTest {
protected:
  // Opens the window on the manual clock and records, before processing, every
  // block the recorder delivers.
  TMainForm& OpenRecording() {
    TMainForm& F = Open(TVirtualSoundCard::ckManual);
    auto Handler = F.Audio1->OnRecord;
    F.Audio1->OnRecord = [this, Handler](TPersistent* Sender, void* LP, void* RP, uint16_t Size) {
      {
        std::lock_guard<std::mutex> Guard(InputLock);
        const auto* p = static_cast<const uint8_t*>(LP);
        Input.insert(Input.end(), p, p + Size);
      }
      Handler(Sender, LP, RP, Size);
    };
    return F;
  }
  // Blocks fill on the card's thread; then the UI thread handles the posts.
  void Fill(int Count = 1) {
    Card->FillInput(Count);
    Form->Queue().ProcessMessages();
  }
  void Finish(int Count = 1) {
    Card->FinishOutput(Count);
    Form->Queue().ProcessMessages();
  }
  std::vector<uint8_t> Recorded() {
    std::lock_guard<std::mutex> Guard(InputLock);
    return Input;
  }
  static std::vector<uint8_t> Silence(size_t Blocks) { return std::vector<uint8_t>(Blocks * 4000, 0); }

  std::mutex InputLock;
  std::vector<uint8_t> Input;
};

TEST_F(CycleTest, SampleRecordsFiltersAndPlaysEveryBlockOnceInOrder) {
  TMainForm& F = OpenRecording();
  F.SpeedButton1->click();
  EXPECT_TRUE(F.Recording());
  EXPECT_EQ(F.Status->text(), "Recording");
  EXPECT_FALSE(F.Query->isEnabled());

  // Steady state: one block in, one block out. The output keeps a block in
  // reserve, so it never runs dry and the caption stays "Recording".
  for (int k = 1; k <= 10; ++k) {
    Fill();
    EXPECT_TRUE(NewBlock.load());
    F.Timer1Timer();
    EXPECT_FALSE(NewBlock.load());
    EXPECT_EQ(Card->HeldOutputBuffers(), 2) << k;
    Finish();
    EXPECT_EQ(F.Status->text(), "Recording") << k;
  }
  EXPECT_FALSE(F.Query->isEnabled());
  // Mono: only the left stream carries the latest block.
  EXPECT_EQ(F.LeftStream()->Size(), 4000u);
  EXPECT_EQ(F.RightStream()->Size(), 0u);

  // The test signal's sweep starts at 100 Hz and rises slowly; its 1000 Hz
  // companion is half as strong.
  EXPECT_NEAR(F.Label1->text().toInt(), 110, 15);
  EXPECT_EQ(F.BarPoints().size(), 50);

  F.SpeedButton1->click();
  EXPECT_EQ(F.Status->text(), "Idle");
  EXPECT_TRUE(F.Query->isEnabled());
  EXPECT_EQ(Card->OpenWaveDevices(), 0);
  // Filter off: what was played is one block of silence, then every recorded
  // block unchanged and in order (the last one was cut off by the release).
  std::vector<uint8_t> Expected = Silence(1);
  const std::vector<uint8_t> In = Recorded();
  Expected.insert(Expected.end(), In.begin(), In.end() - 4000);
  const std::vector<uint8_t> Played = Card->Played();
  ASSERT_EQ(Played.size(), Expected.size());
  EXPECT_TRUE(Played == Expected);
}

TEST_F(CycleTest, OutputThatRanDryStartsAgainWithItsReserve) {
  TMainForm& F = OpenRecording();
  F.SpeedButton1->click();
  Fill();
  Finish(2);  // silence and the block: the output runs dry and closes
  EXPECT_EQ(F.Status->text(), "Idle");
  EXPECT_FALSE(F.Query->isEnabled());  // the report would close the recorder of this run
  Fill();
  EXPECT_EQ(F.Status->text(), "Idle");  // later blocks only blink
  EXPECT_EQ(Card->HeldOutputBuffers(), 2);
  Finish(2);
  std::vector<uint8_t> Expected = Silence(1);
  const std::vector<uint8_t> In = Recorded();
  Expected.insert(Expected.end(), In.begin(), In.begin() + 4000);
  const std::vector<uint8_t> Reserve = Silence(1);
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
    EXPECT_EQ(Recorded().size(), C.Delivered ? 8000u : 0u);
    EXPECT_EQ(F.Status->text(), "Recording");
    // In trigger mode every block must itself reach the level.
    if (C.TriggerOn) {
      EXPECT_FALSE(F.Audio1->Recorder()->Triggered());
    }
    F.SpeedButton1->click();
    Form.reset();
    Input.clear();
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

TEST_F(CycleTest, EmptyBufferEndsRecording) {
  TMainForm& F = OpenRecording();
  F.SpeedButton1->click();
  Fill();
  NewBlock = false;
  Card->ReturnInput(0);
  F.Queue().ProcessMessages();
  EXPECT_EQ(F.Status->text(), "Idle");
  EXPECT_TRUE(NewBlock.load());
  EXPECT_FALSE(F.Audio1->Recorder()->DeviceOpen());
  // The run is over: the button is up, the reason in the status bar, and the
  // next press starts a new run.
  EXPECT_FALSE(F.SpeedButton1->isChecked());
  EXPECT_FALSE(F.Recording());
  EXPECT_EQ(F.sbar1Panels[2]->text(), "Recording ended: the input device delivered no more sound");
  F.SpeedButton1->click();
  EXPECT_TRUE(F.Recording());
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
