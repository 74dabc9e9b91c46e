// The Audio page's pipeline health panel on the virtual card's manual clock:
// the test fills the input blocks and plays the output chunks, lets the
// output run dry once and plays it a little slower than the input, and reads
// the figures the panel shows.

#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <thread>

#include "GuiFixture.h"
#include "app/HealthPanel.h"

namespace quellmarin::testing {
namespace {

class HealthPanelTest : public GuiTest {
protected:
  static constexpr int ChunksPerBlock = 10;  // the output's 10 ms chunks

  // One block in, handled by the loop's thread; then Chunks output chunks
  // played.
  void Cycle(int Chunks) {
    const uint64_t Before = Form->Loop()->Handled();
    Card->FillInput(1);
    for (int Waited = 0; Form->Loop()->Handled() <= Before && Waited < 10000; ++Waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(Form->Loop()->Handled(), Before) << "the loop did not take the buffer";
    Card->FinishOutput(Chunks);
  }
  static std::string Text(const QLabel* Label) { return Label->text().toStdString(); }
};

TEST_F(HealthPanelTest, ShowsTheFiguresOfTheRunOnTheAudioPage) {
  TMainForm& F = Open(TVirtualSoundCard::ckManual);
  THealthPanel& P = *F.HealthPanel1;
  EXPECT_TRUE(F.PageControl1->widget(0)->isAncestorOf(&P));
  EXPECT_EQ(P.Timer->interval(), 1000);
  EXPECT_TRUE(P.Timer->isActive());
  P.Timer->stop();  // the test refreshes itself
  F.RefreshHealth();
  EXPECT_EQ(Text(P.LabelDelay), "Input\u2192output delay: no run yet");

  F.SpeedButton1->click();
  ASSERT_TRUE(F.Recording());
  Cycle(ChunksPerBlock + 3);  // the reserve and the block played: the output runs dry
  // 400 blocks, forty seconds of sound, refreshed every second of it; every
  // fifth block the output plays one chunk less: its clock is 2 % slower
  // (24 000 samples a minute at 20 kHz), and the loop drops samples.
  for (int k = 0; k < 400; ++k) {
    Cycle(k % 5 == 4 ? ChunksPerBlock - 1 : ChunksPerBlock);
    if (k % 10 == 9) F.RefreshHealth();
  }

  const TLiveLoop& L = *F.Loop();
  ASSERT_GT(L.DroppedFrames(), 0);
  EXPECT_EQ(L.PaddedFrames(), 0);
  // The virtual card cannot tell its capture delay: the block and the
  // output's backlog are a lower bound.
  const long Output = std::lround(static_cast<double>(L.Backlog()) / 20);
  EXPECT_EQ(Text(P.LabelDelay), "Input\u2192output delay: \u2265 " + std::to_string(100 + Output) + " ms");
  EXPECT_EQ(Text(P.LabelDelayParts), "in unknown + block 100 + out " + std::to_string(Output) + " ms");
  EXPECT_EQ(Text(P.LabelXruns), "Overruns: 0, underruns: 1");
  EXPECT_TRUE(QRegularExpression("^Audio path CPU: \\d+\\.\\d %$").match(P.LabelCpu->text()).hasMatch())
      << Text(P.LabelCpu);
  // Measured from ten seconds after the underrun; the output's backlog
  // moves by up to a block around its reserve meanwhile.
  const double Drift = P.Figures().DriftPerMinute;
  EXPECT_GE(P.Figures().DriftSeconds, 20.0);
  EXPECT_NEAR(Drift, -24000, 4000);
  char Expected[96];
  std::snprintf(Expected, sizeof(Expected), "Clock drift: %+.1f samples/min", Drift);
  EXPECT_EQ(Text(P.LabelDrift), Expected);

  // A stopped run keeps its figures; only the CPU share is gone.
  F.SpeedButton1->click();
  F.RefreshHealth();
  EXPECT_EQ(Text(P.LabelXruns), "Overruns: 0, underruns: 1");
  EXPECT_EQ(Text(P.LabelCpu), "Audio path CPU: \u2013");
  EXPECT_EQ(Text(P.LabelDrift), Expected);
}

}  // namespace
}  // namespace quellmarin::testing
