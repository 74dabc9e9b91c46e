// The measured response in the window: white noise through the live path,
// drawn over the design with the achieved figures beside the designed ones,
// started afresh for every new design.
//
// QM_SCREENSHOT_DIR=<folder> also writes the spectrum chart of each filter
// type as response-<type>.png there.

#include <QGroupBox>
#include <QCheckBox>
#include <QLabel>
#include <QSlider>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <cstdlib>
#include <random>

#include "GuiFixture.h"

namespace quellmarin::testing {
namespace {

std::vector<int16_t> Noise(std::mt19937& Gen) {
  std::uniform_int_distribution<int> d(-6000, 6000);
  std::vector<int16_t> v(2000);
  for (auto& s : v) s = static_cast<int16_t>(170 + d(Gen));
  return v;
}

TEST_F(GuiTest, MeasuredResponseOnNoiseMatchesTheDesign) {
  const struct {
    const char* Name;
    int Type, Centre;
  } Cases[] = {{"lowpass", 0, 1500}, {"bandpass", 1, 2500}, {"highpass", 2, 3000}};
  const char* Shots = std::getenv("QM_SCREENSHOT_DIR");
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    PutSettings("[SETTINGS]\nFilterOn=1\nFilterType=" + std::to_string(C.Type) +
                "\nFilterCenterFreq=" + std::to_string(C.Centre) + "\nFilterBandwidth=300\n");
    TMainForm& F = Open();
    EXPECT_EQ(F.Chart1Response->titleText(), "Measured response [dB]");
    EXPECT_EQ(F.Chart1Right->titleText(), "Designed response [%]");
    EXPECT_EQ(F.Chart1Right->tickInterval(), 20);  // round ticks: 0 to 101 %
    EXPECT_EQ(F.Chart1Response->tickInterval(), 20);  // -120 to 10 dB
    std::mt19937 Gen(11);
    for (int b = 0; b < 40; ++b) {
      Record(Noise(Gen));
      F.Timer1Timer();
    }
    // The first refresh designs the filter; the two blocks after it may fade.
    EXPECT_EQ(F.Meter().Blocks(), 37);
    const TFIRAnalysis& Design = *Engine->FResponseFilter;
    const float* Designed = Engine->FResponsePoint->Spectrum->Amplitude;
    const QList<QPointF> Measured = F.Series4->points();
    // Every bin up to 5 kHz has energy; the two lowest sit in the window's
    // main lobe around 0 Hz.
    ASSERT_EQ(Measured.size(), TResponseMeter::Bins / 2 - 3);
    const double StopPercent = 100.0 * std::pow(10.0, -Design.StopBandAtt() / 20.0);
    for (int k = 3; k < TResponseMeter::Bins / 2; ++k) {
      const QPointF& P = Measured[k - 3];
      ASSERT_DOUBLE_EQ(P.x(), k * 20000.0 / 2048);
      // Within 1 dB where the design passes (down to -20 dB, for the band
      // pass's peak), the design's attenuation reached in its stop band.
      const double Want = 20 * std::log10(Designed[k] / 100.0);
      if (Want >= -20.0) {
        EXPECT_NEAR(P.y(), Want, 1.0) << P.x();
      } else if (Designed[k] < StopPercent) {
        EXPECT_LT(P.y(), -Design.StopBandAtt() + 1.0) << P.x();
      }
    }
    const TResponseMeter::TFigures Fig =
        F.Meter().Figures(Designed, TResponseMeter::Bins, Design.Ripple(), Design.StopBandAtt());
    const QString Text = F.LabelResponse->text();
    EXPECT_TRUE(Text.contains(QString("Stop-band attenuation: %1 dB (design 60.0 dB)").arg(Fig.StopBandAttDb, 0, 'f', 1)))
        << Text.toStdString();
    // The band pass the window designs has no pass band within the ripple
    // (its pass bandwidth is 0): no ripple to show.
    const QString Ripple = Fig.PassBins > 0 ? QString("\u00b1%1 dB").arg(Fig.RippleDb, 0, 'f', 3) : QString("-");
    EXPECT_TRUE(Text.contains("Pass-band ripple: " + Ripple + " (design \u00b10.009 dB)")) << Text.toStdString();
    EXPECT_GT(Fig.StopBandAttDb, 59.0);
    EXPECT_LT(Fig.RippleDb, 0.1);
    EXPECT_EQ(Fig.PassBins == 0, C.Type == 1);

    if (Shots) {
      F.resize(1000, 680);
      F.show();
      QApplication::processEvents();
      EXPECT_TRUE(F.Chart1View->grab().save(QString("%1/response-%2.png").arg(Shots, C.Name)));
    }

    // A new design: the measurement starts afresh, leaving out the blocks
    // that fade over to it.
    F.TrackBar1->setValue(C.Centre + 500);
    Record(Noise(Gen));
    F.Timer1Timer();
    EXPECT_EQ(F.Meter().Blocks(), 0);
    EXPECT_EQ(F.Series4->count(), 0);
    for (int b = 0; b < 3; ++b) {
      Record(Noise(Gen));
      F.Timer1Timer();
    }
    EXPECT_EQ(F.Meter().Blocks(), 1);
    EXPECT_EQ(F.Meter().Delay(), (Engine->FResponseFilter->Taps().Length - 1) / 2);
    // Filter off: the output is the input, 0 dB throughout.
    F.CheckFilter->setChecked(false);
    for (int b = 0; b < 4; ++b) {
      Record(Noise(Gen));
      F.Timer1Timer();
    }
    EXPECT_EQ(F.Meter().Delay(), 0);
    EXPECT_TRUE(F.LabelResponse->text().contains("(filter off)"));
    for (const QPointF& P : F.Series4->points()) EXPECT_NEAR(P.y(), 0.0, 0.01) << P.x();
    Form.reset();
  }
}

}  // namespace
}  // namespace quellmarin::testing
