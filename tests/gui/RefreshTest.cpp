// The display refresh and the filter panel, driven by blocks handed straight
// to the record handler.

#include <QComboBox>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <mutex>

#include "GuiFixture.h"

namespace quellmarin::testing {
namespace {

// Index of the highest bar.
int PeakBar(const QList<QPointF>& Bars) {
  int Best = 0;
  for (int i = 1; i < Bars.size(); ++i)
    if (Bars[i].y() > Bars[Best].y()) Best = i;
  return Best;
}

// The band of a frequency: 10 bins of 20000 / 2048 Hz.
int BandOf(double Hz) { return static_cast<int>(Hz / (10 * 20000.0 / 2048)); }

TEST_F(GuiTest, EachRefreshDrawsTheLatestBlock) {
  TMainForm& F = Open();
  Record(Block({{1000, 3000}}));
  F.Timer1Timer();
  QList<QPointF> Bars = F.BarPoints();
  ASSERT_EQ(Bars.size(), 50);
  EXPECT_DOUBLE_EQ(Bars[0].x(), 0.0);
  EXPECT_NEAR(Bars[49].x(), 49 * 97.65625, 1e-3);
  EXPECT_EQ(PeakBar(Bars), BandOf(1000));
  EXPECT_EQ(F.Label1->text(), "1000");  // whole hertz, not the 996 of its bin
  EXPECT_EQ(F.Series1Bars->count(), 200);  // four corners per bar
  EXPECT_FALSE(NewBlock.load());

  Record(Block({{3000, 3000}}));
  F.Timer1Timer();
  Bars = F.BarPoints();
  EXPECT_EQ(PeakBar(Bars), BandOf(3000));
  EXPECT_EQ(F.Label1->text(), "3000");

  // Without a new block nothing changes, however many ticks pass.
  for (int i = 0; i < 10; ++i) F.Timer1Timer();
  EXPECT_EQ(F.BarPoints(), Bars);
  EXPECT_EQ(F.Gauge1->value(), 0);  // no mixer meter to read
}

TEST_F(GuiTest, FirstRefreshDesignsTheRestoredFilter) {
  PutSettings("[SETTINGS]\nFilterType=2\nFilterCenterFreq=2500\nFilterBandwidth=300\n");
  TMainForm& F = Open();
  Record(Block({{1000, 3000}}));
  F.Timer1Timer();
  EXPECT_FALSE(FilterChanged);
  TFIRAnalysis* Filter = Engine->FResponseFilter;
  EXPECT_NE(Engine->FLiveFilter, Filter);  // the measured filter never runs live
  EXPECT_EQ(Filter->FilterType(), ftHighPass);
  EXPECT_EQ(Filter->CenterFrequency(), 2500.0f);
  EXPECT_EQ(Filter->TransitionBW1(), 0.0f);
  EXPECT_EQ(Filter->TransitionBW2(), 300.0f);

  // The response in percent over bins 1 to 511, positive values only.
  const QList<QPointF> R = F.Series3->points();
  ASSERT_GT(R.size(), 400);
  ASSERT_LE(R.size(), 511);
  EXPECT_NEAR(R.front().x(), 9.765625, 1e-3);
  EXPECT_LE(R.back().x(), 511 * 9.765625 + 1e-3);
  for (const QPointF& P : R) {
    EXPECT_GT(P.y(), 0);
    if (P.x() < 1500) {
      EXPECT_LT(P.y(), 5) << P.x();
    } else if (P.x() > 3500) {
      EXPECT_NEAR(P.y(), 100, 5) << P.x();
    }
  }
  // The next block takes a copy of the design into the live path; the next
  // refresh without a change leaves the response alone.
  Record(Block({}));
  ASSERT_NE(F.Loop()->Stage().Current(), nullptr);
  EXPECT_EQ(F.Loop()->Stage().Current()->TapsLen(), Filter->Taps().Length);
  F.Timer1Timer();
  EXPECT_EQ(F.Series3->points(), R);
}

TEST_F(GuiTest, FilterPanelLatchesTheCentreFrequency) {
  TMainForm& F = Open();
  auto Apply = [&] {
    Record(Block({}));
    F.Timer1Timer();
  };
  Apply();
  // Two moves of the centre before the next refresh: the label follows, the
  // first move is applied.
  F.TrackBar1->setValue(2500);
  F.TrackBar1->setValue(3000);
  EXPECT_EQ(F.Label9->text(), "3000 Hz");
  EXPECT_EQ(SelCenterFreq, 2500);
  Apply();
  EXPECT_EQ(Engine->FResponseFilter->CenterFrequency(), 2500.0f);
  // The later position is latched by that refresh and applied by the next one,
  // so the filter ends where the label says.
  EXPECT_TRUE(FilterChanged);
  EXPECT_EQ(SelCenterFreq, 3000);
  Apply();
  EXPECT_EQ(Engine->FResponseFilter->CenterFrequency(), 3000.0f);

  // High pass, width 300.
  F.ComboFilterType->setCurrentIndex(2);
  F.ComboFilterTypeChange();
  F.TrackBandWidth->setValue(300);
  EXPECT_EQ(F.Label7->text(), "300 Hz");
  Apply();
  TFIRAnalysis* Filter = Engine->FResponseFilter;
  EXPECT_EQ(Filter->FilterType(), ftHighPass);
  EXPECT_EQ(Filter->CenterFrequency(), 3000.0f);  // the centre copied earlier
  EXPECT_EQ(Filter->TransitionBW1(), 0.0f);
  EXPECT_EQ(Filter->TransitionBW2(), 300.0f);

  // "Filter enabled" marks a redesign but never copies the centre.
  F.TrackBar1->setValue(4000);  // copies 4000
  Apply();
  F.CheckFilter->setChecked(true);
  F.TrackBar1->setValue(4500);  // a change is pending: not copied
  EXPECT_TRUE(FilterChanged);
  EXPECT_EQ(SelCenterFreq, 4000);

  // Band pass: the width on both sides.
  F.ComboFilterType->setCurrentIndex(1);
  F.ComboFilterTypeChange();
  Apply();
  EXPECT_EQ(Filter->FilterType(), ftBandPass);
  EXPECT_EQ(Filter->TransitionBW1(), 300.0f);
  EXPECT_EQ(Filter->TransitionBW2(), 300.0f);
}

TEST_F(GuiTest, FilterEnabledActsOnTheNextBlock) {
  PutSettings("[SETTINGS]\nFilterType=0\nFilterCenterFreq=1000\nFilterBandwidth=300\n");
  TMainForm& F = Open();
  Record(Block({{3000, 3000}}));
  F.Timer1Timer();  // designs the low pass
  F.CheckFilter->setChecked(true);
  std::vector<int16_t> Out;
  for (int i = 0; i < 3; ++i) Out = Record(Block({{3000, 3000}}));  // the filter settles within a block
  int Peak = 0;
  for (int16_t s : Out) Peak = std::max(Peak, std::abs(s - 170));
  EXPECT_LT(Peak, 100);  // 3000 Hz is in the low pass's stop band
  F.CheckFilter->setChecked(false);
  const std::vector<int16_t> In = Block({{3000, 3000}});
  // The next block fades from the filtered to the dry signal over its first
  // 10 ms; from then on the offset is removed and restored exactly.
  const std::vector<int16_t> Faded = Record(In);
  EXPECT_TRUE(std::equal(Faded.begin() + TLiveFilterStage::CrossfadeSamples, Faded.end(),
                         In.begin() + TLiveFilterStage::CrossfadeSamples));
  EXPECT_EQ(Record(In), In);
}

TEST_F(GuiTest, EqualizeShowsOnlyWhatRisesAboveTheReference) {
  TMainForm& F = Open();
  const auto A = Block({{1000, 3000}});
  Record(A);
  F.Timer1Timer();
  F.Button1->click();
  Record(A);  // captured as the reference
  F.Timer1Timer();
  Record(A);
  F.Timer1Timer();  // nothing above the reference
  for (const QPointF& Bar : F.BarPoints()) EXPECT_EQ(Bar.y(), 0.0) << Bar.x();
  EXPECT_NEAR(F.Label1->text().toInt(), 1000, 10);  // keeps the last dominant frequency
  Record(Block({{1000, 3000}, {3000, 2000}}));
  F.Timer1Timer();
  const QList<QPointF> Bars = F.BarPoints();
  EXPECT_EQ(PeakBar(Bars), BandOf(3000));
  EXPECT_LT(Bars[BandOf(1000)].y(), 0.01 * Bars[BandOf(3000)].y());  // only the new tone's leakage
}

TEST_F(GuiTest, SpectrumPeakHoldRisesAndRefreshResetsIt) {
  TMainForm& F = Open();
  Record(Block({{1000, 3000}}));
  F.Timer1Timer();
  const double Top = F.Chart1Left->max();
  EXPECT_NEAR(Top, Engine->FMaxAmplitude, 1e-3);
  EXPECT_GT(Top, 1000);
  Record(Block({{1000, 300}}));
  F.Timer1Timer();
  EXPECT_EQ(F.Chart1Left->max(), Top);  // never falls
  F.ButtonRefreshSpectrumScale->click();
  EXPECT_EQ(F.Chart1Left->max(), 1);
  Record(Block({{1000, 300}}));
  F.Timer1Timer();
  EXPECT_NEAR(F.Chart1Left->max(), Engine->FMaxAmplitude, 1e-3);
  EXPECT_LT(F.Chart1Left->max(), Top);
}

TEST_F(GuiTest, ScaleModes) {
  TMainForm& F = Open();
  struct Case {
    int Index;
    bool Automatic, SliderOn, RefreshOn;
    double Max;
  };
  const Case Cases[] = {{2, false, true, false, 300}, {1, true, false, false, -1}, {0, false, false, true, 1}};
  F.TrackSpectrumMax->setValue(300);
  F.TrackPlotMax->setValue(300);
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Index);
    F.ComboSpectrumScale->setCurrentIndex(C.Index);
    F.ComboSpectrumScaleChange();
    F.ComboPlotScale->setCurrentIndex(C.Index);
    F.ComboPlotScaleChange();
    EXPECT_EQ(F.SpectrumAxisAutomatic(), C.Automatic);
    EXPECT_EQ(F.PlotAxisAutomatic(), C.Automatic);
    EXPECT_EQ(F.TrackSpectrumMax->isEnabled(), C.SliderOn);
    EXPECT_EQ(F.TrackPlotMax->isEnabled(), C.SliderOn);
    EXPECT_EQ(F.ButtonRefreshSpectrumScale->isEnabled(), C.RefreshOn);
    EXPECT_EQ(F.ButtonRefreshPlotScale->isEnabled(), C.RefreshOn);
    if (C.Max > 0) {
      EXPECT_EQ(F.Chart1Left->max(), C.Max);
      EXPECT_EQ(F.Chart2Left->max(), C.Max);
      EXPECT_EQ(F.Chart2Left->min(), 0);
    }
  }
  EXPECT_EQ(F.Label14->text(), "300");
  // Manual: the slider moves the axis.
  F.ComboPlotScale->setCurrentIndex(2);
  F.ComboPlotScaleChange();
  F.TrackPlotMax->setValue(1234);
  EXPECT_EQ(F.Chart2Left->max(), 1234);
  EXPECT_EQ(F.Label12->text(), "1234");
  // Automatic: the axes follow the data.
  F.ComboSpectrumScale->setCurrentIndex(1);
  F.ComboSpectrumScaleChange();
  F.CheckPlotOn->setChecked(true);
  F.ComboPlotFunction->setCurrentIndex(2);
  F.ComboPlotScale->setCurrentIndex(1);
  F.ComboPlotScaleChange();
  for (int i = 0; i < 2; ++i) {
    Record(Block({{1000, 3000}}));
    F.Timer1Timer();
  }
  EXPECT_GE(F.Chart1Left->max(), Engine->FBandPeak[BandOf(1000)]);
  EXPECT_LT(F.Chart1Left->max(), 1.1 * Engine->FBandPeak[BandOf(1000)]);
  EXPECT_GE(F.Chart2Left->max(), 3000);
  EXPECT_LT(F.Chart2Left->max(), 3300);
}

TEST_F(GuiTest, PlotScrollsKeepsTheLatestFiveThousandAndResets) {
  PutSettings("[SETTINGS]\nPlotOn=1\nPlotFunction=1\n");
  TMainForm& F = Open();
  EXPECT_EQ(F.Chart2Left->titleText(), "Frequency [Hz]");
  Record(Block({{1000, 3000}}));
  F.Timer1Timer();
  struct Step {
    int Refreshes, Points;
    double Min, Max;
  };
  // Past 5000 points the oldest go and the plot goes on.
  const Step Steps[] = {{201, 201, 0, 200}, {202, 202, 1, 201}, {5000, 5000, 4799, 4999}, {5003, 5000, 4802, 5002}};
  int Done = 1;
  for (const Step& S : Steps) {
    while (Done < S.Refreshes) {
      NewBlock = true;
      F.Timer1Timer();
      ++Done;
    }
    EXPECT_EQ(F.Series2->count(), S.Points);
    EXPECT_EQ(F.Chart2Bottom->min(), S.Min);
    EXPECT_EQ(F.Chart2Bottom->max(), S.Max);
  }
  EXPECT_EQ(Engine->FPlotCount, 5003);
  EXPECT_EQ(F.Series2->at(0).x(), 3);
  EXPECT_EQ(F.Series2->at(4999).x(), 5002);
  // The dominant frequency in hertz; peak hold adds 1.
  const double Hz = F.Shown()->DominantHz;
  EXPECT_NEAR(Hz, 1000, 0.5);
  EXPECT_EQ(F.Series2->at(4999).y(), Hz);
  EXPECT_EQ(F.Chart2Left->max(), Hz + 1);

  // The axis is titled for the plot function.
  const char* const Titles[] = {"Amplitude", "Frequency [Hz]", "Amplitude"};
  for (int i : {0, 2, 1}) {
    F.ComboPlotFunction->setCurrentIndex(i);
    EXPECT_EQ(F.Chart2Left->titleText(), Titles[i]);
  }

  // Both reset buttons clear the plot (and only the plot).
  for (QPushButton* Reset : {F.BottonClearPlot, F.BottonResetSpectrum}) {
    const QList<QPointF> Bars = F.BarPoints();
    Reset->click();
    EXPECT_EQ(F.Series2->count(), 0);
    EXPECT_EQ(Engine->FPlotCount, 0);
    EXPECT_EQ(F.Chart2Bottom->min(), 0);
    EXPECT_EQ(F.Chart2Bottom->max(), 200);
    EXPECT_EQ(F.Chart2Left->max(), 1);
    EXPECT_EQ(F.BarPoints(), Bars);
    NewBlock = true;
    F.Timer1Timer();
    EXPECT_EQ(F.Series2->count(), 1);
  }
}

TEST_F(GuiTest, MovingAveragesRampUpOverTheirWindow) {
  struct Case {
    int Smoothing, Window;
  };
  for (const Case C : {Case{0, 1}, Case{1, 20}, Case{2, 35}, Case{3, 51}}) {
    SCOPED_TRACE(C.Smoothing);
    PutSettings("[SETTINGS]\nPlotOn=1\nPlotFunction=2\nPlotSmoothingType=" + std::to_string(C.Smoothing) + "\n");
    TMainForm& F = Open();
    // Realtime amplitude: the largest absolute sample of the processed block.
    const double c = 1200;
    for (int k = 1; k <= C.Window + 5; ++k) {
      Record(Block({}, k % 2 ? c : -c));
      F.Timer1Timer();
      ASSERT_EQ(F.Series2->count(), k);
      EXPECT_NEAR(F.Series2->at(k - 1).y(), c * std::min(k, C.Window) / C.Window, 1e-3) << k;
    }
    Form.reset();
  }
}

TEST_F(GuiTest, ExponentialDecayFollowsItsControls) {
  TMainForm& F = Open();
  F.decay_combo->setCurrentIndex(2);
  F.CheckExpDecay->setChecked(true);
  EXPECT_EQ(Engine->FLiveFFT->Averaging(), avInfiniteExponential);
  EXPECT_EQ(Engine->FLiveFFT->ExponentialDecay(), 30);
  EXPECT_TRUE(F.decay_combo->isEnabled());
  F.decay_combo->setCurrentIndex(3);
  F.decay_comboClick();
  EXPECT_EQ(Engine->FLiveFFT->ExponentialDecay(), 70);
  F.CheckExpDecay->setChecked(false);
  EXPECT_EQ(Engine->FLiveFFT->Averaging(), avNone);
  EXPECT_FALSE(F.decay_combo->isEnabled());
}

TEST_F(GuiTest, SpectrumDisabledClearsTheBars) {
  TMainForm& F = Open();
  for (int i = 0; i < 2; ++i) {
    Record(Block({{1000, 3000}}));
    F.Timer1Timer();
  }
  ASSERT_EQ(F.BarPoints().size(), 50);
  F.CheckSpectrumOn->setChecked(false);
  EXPECT_TRUE(F.BarPoints().empty());
  Record(Block({{1000, 3000}}));
  F.Timer1Timer();
  EXPECT_TRUE(F.BarPoints().empty());
  EXPECT_NEAR(F.Label1->text().toInt(), 1000, 10);  // the analysis goes on
  F.CheckSpectrumOn->setChecked(true);
  Record(Block({{1000, 3000}}));
  F.Timer1Timer();
  EXPECT_EQ(F.BarPoints().size(), 50);
}

TEST_F(GuiTest, TestButtonWritesTheDominantFigures) {
  TMainForm& F = Open();
  Record(Block({{2000, 3000}}));
  F.Timer1Timer();
  F.ButtonTest->click();
  EXPECT_TRUE(F.Memo1->toPlainText().startsWith("Dominant frequency " + F.Label1->text() + " Hz"))
      << F.Memo1->toPlainText().toStdString();
}

TEST_F(GuiTest, AnExceptionInAHandlerShowsAnErrorBox) {
  TMainForm& F = Open();
  // A settings file that cannot be written makes "Exit" fail in its handler.
  fs::create_directory(IniName);
  F.show();
  F.Exit1->trigger();
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0], "Unable to write to " + IniName);
  // The program goes on: later handlers still run.
  Record(Block({{1000, 3000}}));
  F.Timer1Timer();
  EXPECT_NEAR(F.Label1->text().toInt(), 1000, 10);
}

}  // namespace
}  // namespace quellmarin::testing
