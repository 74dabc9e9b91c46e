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
#include <thread>

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

// In real time: every block once and in order, the caption "Recording"
// throughout, also while the window does not run its event loop for a
// second. How often the output ran dry depends on how busy the machine is:
// it is printed, and the samples are compared wherever nothing was spliced.
TEST_F(GuiTest, LiveLoopPlaysEveryBlockOnceWithoutRunningDry) {
  const double Duration = Seconds("QM_LIVE_SECONDS", DefaultLiveSeconds);
  const size_t MaxBlocks = static_cast<size_t>(Duration * 10) + 100;
  TMainForm& F = Open(TVirtualSoundCard::ckRealTime);
  F.Timer1->start();

  // What the test watches, filled on the loop's thread without allocating.
  std::vector<uint8_t> Input(MaxBlocks * 4000);
  std::atomic<size_t> Recorded{0};
  std::atomic<int64_t> LargestBacklog{0};
  F.Loop()->OnBlock = [&](const int16_t* In, const int16_t*, int32_t Frames) {
    const size_t k = Recorded.load();
    if (Frames == 2000 && k < MaxBlocks) {
      std::memcpy(&Input[k * 4000], In, 4000);
      Recorded.store(k + 1);
    }
    LargestBacklog.store(std::max(LargestBacklog.load(), F.Loop()->Backlog()));
  };

  F.SpeedButton1->click();
  int NotRecording = 0;
  bool Blocked = false;
  QElapsedTimer Since;
  Since.start();
  RunFor(Duration, [&] {
    NotRecording += F.Status->text() != "Recording";
    if (!Blocked && Since.elapsed() > Duration * 500) {
      Blocked = true;
      std::this_thread::sleep_for(std::chrono::seconds(1));  // the window's thread is busy
    }
  });
  TLiveLoop& L = *F.Loop();
  const uint64_t Underruns = L.Underruns();
  const int64_t Spliced = L.DroppedFrames() + L.PaddedFrames();
  F.SpeedButton1->click();
  const size_t Blocks = Recorded.load();

  // Every block played once, in order, after the reserve of silence; the
  // release cut off the last ones.
  const size_t Reserve = 2 * TLiveLoop::DefaultReserve;
  const std::vector<uint8_t> Out = Card->Played();
  ASSERT_GE(Out.size(), Reserve);
  EXPECT_TRUE(std::all_of(Out.begin(), Out.begin() + Reserve, [](uint8_t b) { return b == 0; }));
  const size_t PlayedBytes = Out.size() - Reserve;
  EXPECT_GE(Blocks, static_cast<size_t>(Duration * 10 * 0.9));
  EXPECT_EQ(NotRecording, 0);
  if (Spliced == 0 && Underruns == 0) {
    EXPECT_LE(PlayedBytes, Blocks * 4000);
    EXPECT_GE(PlayedBytes / 4000 + 3, Blocks);
    EXPECT_EQ(std::memcmp(Out.data() + Reserve, Input.data(), std::min(PlayedBytes, Blocks * 4000)), 0);
  }
  std::printf("live loop: %.0f s, %zu blocks, %llu output ran dry, %lld samples spliced for drift; output "
              "reserve %d samples, largest backlog before a block %lld samples; input-to-output delay about "
              "%.0f ms\n",
              Duration, Blocks, static_cast<unsigned long long>(Underruns), static_cast<long long>(Spliced),
              TLiveLoop::DefaultReserve, static_cast<long long>(LargestBacklog.load()),
              100.0 + TLiveLoop::DefaultReserve / 20.0);
  F.Loop()->OnBlock = nullptr;
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
