// The pipeline health panel in real time through a sound server of the
// test's own, PulseAudio and PipeWire (ALSA's default PCM on the pulse
// plugin): the capture device's delay is known there, so the panel gives the
// whole input-to-output delay.
//
// QM_HEALTH_SECONDS sets how long the loop runs (5 s unless given); the
// panel's lines are printed every 30 s and at the end. QM_HEALTH_SCREENSHOT
// names a PNG the window's screenshot (the Audio page with the panel) goes
// to (none unless given).

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "alsa/PipeWireServer.h"
#include "alsa/PulseServer.h"
#include "app/Filter1.h"
#include "app/HealthPanel.h"
#include "soundsystem/alsa/AlsaSoundSystem.h"

namespace quellmarin::testing {
namespace {

namespace fs = std::filesystem;

void PrintPanel(const THealthPanel& P, const TLiveLoop& L, const TSoundSystem& Sys, double Seconds) {
  std::printf("health after %.0f s: %s (%s); %s; %s; %s\n", Seconds, P.LabelDelay->text().toStdString().c_str(),
              P.LabelDelayParts->text().toStdString().c_str(), P.LabelXruns->text().toStdString().c_str(),
              P.LabelCpu->text().toStdString().c_str(), P.LabelDrift->text().toStdString().c_str());
  const TXrunCounts X = Sys.XrunCounts();
  std::printf("  counters: capture %.2f ms, %llu blocks, output ran dry %llu, restarts %llu, sound system "
              "overruns %u underruns %u, dropped %lld padded %lld samples\n",
              P.Figures().CaptureMs, static_cast<unsigned long long>(L.Blocks()),
              static_cast<unsigned long long>(L.Underruns()), static_cast<unsigned long long>(L.OutputRestarts()),
              X.Overruns, X.Underruns, static_cast<long long>(L.DroppedFrames()),
              static_cast<long long>(L.PaddedFrames()));
  std::fflush(stdout);
}

template <class TServer>
class HealthServer : public ::testing::Test {};
using TServers = ::testing::Types<TPulseServer, TPipeWireServer>;
TYPED_TEST_SUITE(HealthServer, TServers);

TYPED_TEST(HealthServer, PanelShowsTheWholeDelayThroughASoundServer) {
  TypeParam Server;
  if (!Server.Ready()) GTEST_SKIP() << "The sound server could not be started for the test: " << Server.Why();
  const char* Given = std::getenv("QM_HEALTH_SECONDS");
  const double Duration = Given && std::atof(Given) > 0 ? std::atof(Given) : 5;
  const char* Shot = std::getenv("QM_HEALTH_SCREENSHOT");
#if defined(__SANITIZE_THREAD__)
  // Painting a shown window runs Qt's own worker threads, which are not built
  // for ThreadSanitizer.
  Shot = nullptr;
#endif
  const fs::path Ini = fs::temp_directory_path() / ("qm_health_" + std::to_string(::getpid()) + ".INI");
  fs::remove(Ini);
  TMainForm::ErrorBoxHook = [](const QString& Text) { ADD_FAILURE() << Text.toStdString(); };
  {
    TAlsaSoundSystem Sys;
    TMainForm F(Sys, Ini.string());
    THealthPanel& P = *F.HealthPanel1;
    if (Shot) {
      F.resize(1000, 680);
      F.show();
    }
    F.PageControl1->setCurrentIndex(0);
    F.SpeedButton1->click();
    ASSERT_TRUE(F.Recording()) << F.Status->text().toStdString();

    QElapsedTimer Timer;
    Timer.start();
    double NextPrint = 30;
    while (Timer.elapsed() < Duration * 1000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
      if (Timer.elapsed() >= NextPrint * 1000) {
        PrintPanel(P, *F.Loop(), Sys, NextPrint);
        NextPrint += 30;
      }
    }
    F.RefreshHealth();
    PrintPanel(P, *F.Loop(), Sys, Duration);
    const THealthFigures Figures = P.Figures();
    EXPECT_TRUE(F.Recording());
    EXPECT_GT(F.Loop()->Blocks(), 0u);
    // The pulse plugin answers for its capture stream: the delay has all
    // three parts.
    EXPECT_TRUE(Figures.CaptureKnown);
    EXPECT_FALSE(P.LabelDelay->text().contains(QChar(0x2265))) << P.LabelDelay->text().toStdString();
    EXPECT_TRUE(P.LabelDelayParts->text().startsWith("in ")) << P.LabelDelayParts->text().toStdString();
    EXPECT_TRUE(Figures.CpuKnown);
    if (Shot) {
      const QPixmap Image = F.grab();
      EXPECT_TRUE(Image.save(QString(Shot), "PNG")) << Shot;
    }
    F.SpeedButton1->click();
    F.close();
  }
  TMainForm::ErrorBoxHook = nullptr;
  std::error_code Ec;
  fs::remove(Ini, Ec);
}

}  // namespace
}  // namespace quellmarin::testing
