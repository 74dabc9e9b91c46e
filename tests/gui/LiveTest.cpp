// The live loop in real time on the virtual sound card, and a screenshot of
// the running window.
//
// QM_LIVE_SECONDS sets how long the loop runs (60 s unless given; 20 s under
// ThreadSanitizer). QM_SCREENSHOT names the PNG the screenshot goes to
// (quellmarin.png in the build folder unless given).

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QtCharts/QLineSeries>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "GuiFixture.h"

namespace quellmarin::testing {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const char* Name, double Default) {
  const char* Value = std::getenv(Name);
  return Value && std::atof(Value) > 0 ? std::atof(Value) : Default;
}

// Runs the Qt event loop (the display timer among it) for Duration seconds;
// Check runs every few milliseconds.
template <class F>
void RunFor(double Duration, F&& Check) {
  QElapsedTimer Timer;
  Timer.start();
  while (Timer.elapsed() < Duration * 1000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    Check();
  }
}

#if defined(__SANITIZE_THREAD__)
constexpr double DefaultLiveSeconds = 20;
#else
constexpr double DefaultLiveSeconds = 60;
#endif

TEST_F(GuiTest, LiveLoopPlaysEveryBlockOnceWithoutRunningDry) {
  const double Duration = Seconds("QM_LIVE_SECONDS", DefaultLiveSeconds);
  const size_t MaxBlocks = static_cast<size_t>(Duration * 10) + 100;
  TMainForm& F = Open(TVirtualSoundCard::ckRealTime);
  F.Timer1->start();

  // What the test watches, filled on the card's threads without allocating.
  std::vector<uint8_t> Input(MaxBlocks * 4000);
  std::vector<Clock::time_point> RecordedAt(MaxBlocks), PlayedAt(MaxBlocks + 1);
  std::atomic<size_t> Recorded{0}, Played{0};
  std::atomic<int> DryRuns{0};
  auto Record = F.Audio1->OnRecord;
  F.Audio1->OnRecord = [&, Record](TPersistent* Sender, void* LP, void* RP, uint16_t Size) {
    const size_t k = Recorded.load();
    if (Size == 4000 && k < MaxBlocks) {
      std::memcpy(&Input[k * 4000], LP, Size);
      RecordedAt[k] = Clock::now();
      Recorded.store(k + 1);
    }
    Record(Sender, LP, RP, Size);
  };
  F.Audio1->OnBufferPlayed = [&](TPersistent*) {
    const size_t j = Played.load();
    if (j <= MaxBlocks) {
      PlayedAt[j] = Clock::now();
      Played.store(j + 1);
    }
  };
  auto WhenPlayed = F.Audio1->OnPlayed;
  F.Audio1->OnPlayed = [&, WhenPlayed](TPersistent* Sender) {
    if (F.Recording()) ++DryRuns;
    WhenPlayed(Sender);
  };

  F.SpeedButton1->click();
  int NotRecording = 0;
  RunFor(Duration, [&] { NotRecording += F.Status->text() != "Recording"; });
  const Clock::time_point Released = Clock::now();
  F.SpeedButton1->click();
  const size_t Blocks = Recorded.load();
  const size_t Finished = Played.load();

  // Every block played once, in order, after one block of silence; the
  // release cut off the last few.
  const std::vector<uint8_t> Out = Card->Played();
  ASSERT_GE(Out.size(), 4000u);
  EXPECT_TRUE(std::all_of(Out.begin(), Out.begin() + 4000, [](uint8_t b) { return b == 0; }));
  // The release may cut the block that was playing.
  const size_t PlayedBytes = Out.size() - 4000;
  const size_t PlayedBlocks = PlayedBytes / 4000;
  EXPECT_LE(PlayedBytes, Blocks * 4000);
  EXPECT_GE(PlayedBlocks + 3, Blocks);
  EXPECT_EQ(std::memcmp(Out.data() + 4000, Input.data(), PlayedBytes), 0);
  EXPECT_GE(Blocks, static_cast<size_t>(Duration * 10 * 0.9));

  // No dry output: the caption never left "Recording".
  EXPECT_EQ(DryRuns.load(), 0);
  EXPECT_EQ(NotRecording, 0);

  // Input-to-output delay: from the end of a block's capture to the end of
  // its playing (the output's first buffer is the silence). Buffers the
  // release returned unplayed do not count.
  std::vector<double> Delay;
  for (size_t k = 0; k + 1 < Finished && k < Blocks && PlayedAt[k + 1] < Released; ++k)
    Delay.push_back(std::chrono::duration<double, std::milli>(PlayedAt[k + 1] - RecordedAt[k]).count());
  ASSERT_FALSE(Delay.empty());
  std::sort(Delay.begin(), Delay.end());
  double Mean = 0;
  for (double d : Delay) Mean += d;
  Mean /= static_cast<double>(Delay.size());
  std::printf("live loop: %.0f s, %zu blocks recorded, %zu played, %d dry runs; input-to-output delay "
              "mean %.1f ms, min %.1f ms, median %.1f ms, max %.1f ms\n",
              Duration, Blocks, PlayedBlocks, DryRuns.load(), Mean, Delay.front(), Delay[Delay.size() / 2],
              Delay.back());
  RecordProperty("DryRuns", DryRuns.load());
  RecordProperty("MeanDelayMs", static_cast<int>(std::lround(Mean)));
  EXPECT_NEAR(Delay[Delay.size() / 2], 200, 60);  // about two blocks of 100 ms
  F.Audio1->OnBufferPlayed = nullptr;
}

TEST_F(GuiTest, ScreenshotOfTheRunningWindow) {
#if defined(__SANITIZE_THREAD__)
  // Painting a shown window runs Qt's own worker threads, which are not built
  // for ThreadSanitizer; it reports their hand-overs as races.
  GTEST_SKIP() << "Qt's painting threads are not instrumented";
#endif
  PutSettings("[SETTINGS]\nFilterOn=1\nFilterType=1\nFilterCenterFreq=1000\nFilterBandwidth=400\nPlotOn=1\n");
  TMainForm& F = Open(TVirtualSoundCard::ckRealTime);
  F.resize(1000, 680);
  F.show();
  F.PageControl1->setCurrentIndex(1);
  F.Timer1->start();
  F.SpeedButton1->click();
  RunFor(Seconds("QM_SCREENSHOT_SECONDS", 6), [] {});
  const QPixmap Shot = F.grab();
  F.SpeedButton1->click();
  EXPECT_FALSE(F.BarPoints().isEmpty());
  EXPECT_GT(F.Series3->count(), 400);
  EXPECT_GT(F.Series2->count(), 20);
  const char* Name = std::getenv("QM_SCREENSHOT");
  const QString File = Name ? QString(Name) : QString(QM_BINARY_DIR "/quellmarin.png");
  EXPECT_TRUE(Shot.save(File, "PNG")) << File.toStdString();
  EXPECT_EQ(Shot.size(), F.size());
}

}  // namespace
}  // namespace quellmarin::testing

namespace quellmarin::testing {
namespace {

// The window can go away in the middle of a run (no close first): the
// recorder stops before its handler is taken away, and the player's stop does
// not wait on blocks that keep arriving. ThreadSanitizer watches the handler.
TEST_F(GuiTest, DestroyedWhileRecordingStopsCleanly) {
  TMainForm& F = Open(TVirtualSoundCard::ckRealTime);
  F.SpeedButton1->click();
  const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
  while (std::chrono::steady_clock::now() < Until) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  ASSERT_TRUE(F.Recording());
  Form.reset();  // a hang here is the fault (CTest's timeout catches it)
  EXPECT_TRUE(Errors.empty());
}

}  // namespace
}  // namespace quellmarin::testing
