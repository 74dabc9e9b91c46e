#include "app/Filter1.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <mutex>
#include <new>

#include "app/AxisTicks.h"
#include "app/HealthPanel.h"
#include "app/QtMessageQueue.h"
#include "app/QtProgramIcon.h"
#include "app/Reabout.h"
#include "app/SoundSystemFactory.h"

namespace quellmarin {

TFFT* Engine = nullptr;
std::atomic<bool> NewBlock{false};
bool FilterChanged = false;
TFilterType SelFilterType = ftLowPass;
int32_t SelCenterFreq = 0;
TKustomIniFile* IniFile = nullptr;
float SmoothBuf[51] = {};
int32_t SmoothIndex = 0;

std::function<void(const QString& Text)> TMainForm::ErrorBoxHook;

namespace {

const char* const Section = "SETTINGS";

// Whether start-up could read the settings file. A file it could not read (too
// large, not a regular file, a failing read) is left as it is at close, so
// nothing the user keeps in it is lost.
bool SettingsReadable = false;

// The settings file's text, read once. A file that cannot be read gives an
// empty text (every key its default) and one message through Show.
TIniText ReadSettings(const TIniFile& File, const std::function<void(const QString&)>& Show) {
  QString Reason;
  try {
    TIniText Text = File.Load();
    SettingsReadable = true;
    return Text;
  } catch (const std::bad_alloc&) {
    Reason = "not enough memory";
  } catch (const std::exception& E) {
    Reason = QString::fromStdString(E.what());
  } catch (...) {
    Reason = "unknown error";
  }
  SettingsReadable = false;
  Show(QString("The settings file cannot be read (%1). The default settings are used, and the file is left as it "
               "is.")
           .arg(Reason));
  return TIniText();
}

const char* const Caption = "Quellmarin Beta version  (March 2000)";

const QColor Lime(0, 255, 0);
const QColor Green(0, 128, 0);
const QColor Yellow(255, 255, 0);
const QColor Cyan(0, 255, 255);

// The measured response's axis: from the deepest stop band a design reaches
// on 16-bit sound to a little above 0 dB.
constexpr double ResponseFloorDb = -120.0;
constexpr double ResponseTopDb = 10.0;

// The Audio page's mixer rows, in TMixerRow order: the names that find each
// row's line, and the row's name for the status bar.
const struct {
  const char* Dest;
  const char* Source;
  const char* Caption;
} RowNames[TMainForm::MixerRows] = {
    {"Volume", "Volume", "Master"},       {"Volume", "Wave", "Wave"},
    {"Volume", "Microphone", "Mic out"},  {"Volume", "Line", "Line out"},
    {"Recording", "Microphone", "Mic in"}, {"Recording", "Line", "Line in"},
};
// Start-up loads the rows, and a mixer change looks for its rows, in this order.
const TMainForm::TMixerRow LoadOrder[TMainForm::MixerRows] = {
    TMainForm::rowMaster, TMainForm::rowWave,   TMainForm::rowInLine,
    TMainForm::rowInMic,  TMainForm::rowOutMic, TMainForm::rowOutLine};

std::string MissingLineText(TMainForm::TMixerRow Row) {
  return std::string("The mixer has no line \"") + RowNames[Row].Source + "\" under \"" + RowNames[Row].Dest + "\"";
}

// Points a cleared series reserves, as the charts were configured at start-up.
int DefaultValueCapacity = 0;

// Points the function plot keeps: the latest 8 min 20 s at 10 refreshes a second.
constexpr int PlotPoints = 5000;

// The function plot's value axis title for each plot function.
const char* const PlotTitles[] = {"Amplitude", "Frequency [Hz]", "Amplitude"};

// Rounds to the nearest integer, halves to even.
int32_t RoundEven(double Value) { return static_cast<int32_t>(std::nearbyint(Value)); }

// Sets a list's selection from a stored index; an index outside the list
// leaves no selection.
void SetItemIndex(QComboBox* Combo, int32_t Index) {
  Combo->setCurrentIndex(Index >= 0 && Index < Combo->count() ? Index : -1);
}

// A device list that is filled afresh each time it is about to open, so that
// a device plugged in meanwhile is offered.
class TDeviceCombo final : public QComboBox {
public:
  using QComboBox::QComboBox;
  std::function<void()> OnPopup;
  void showPopup() override {
    if (OnPopup) OnPopup();
    QComboBox::showPopup();
  }
};

const char* const InputDeviceKey = "InputDevice";
const char* const OutputDeviceKey = "OutputDevice";

QSlider* MakeSlider(int Min, int Max, int Position, QWidget* Parent) {
  auto* Slider = new QSlider(Qt::Horizontal, Parent);
  Slider->setRange(Min, Max);
  Slider->setValue(Position);
  return Slider;
}

QComboBox* MakeList(const QStringList& Items, QWidget* Parent) {
  auto* Combo = new QComboBox(Parent);
  Combo->addItems(Items);
  return Combo;
}

// Ticks on round values (1, 2 or 5 x 10^n, from 0), at most MaxTicks intervals,
// for an axis whose range stays as it is. (An axis whose range changes keeps
// its fixed tick count: the chart lays out a new range with the interval it
// had before any handler could change it, which for a range grown from 1 to
// 12000 means tens of thousands of tick labels.)
void UseRoundTicks(QValueAxis* Axis, int MaxTicks) {
  const double Step = RoundTickStep(Axis->max() - Axis->min(), MaxTicks);
  if (Step <= 0) return;
  Axis->setTickType(QValueAxis::TicksDynamic);
  Axis->setTickAnchor(0);
  Axis->setTickInterval(Step);
}

void StyleAxis(QValueAxis* Axis, const QString& Title) {
  Axis->setTitleText(Title);
  Axis->setTitleBrush(Lime);
  Axis->setLabelsColor(Lime);
  Axis->setLinePenColor(Green);
  Axis->setGridLineColor(QColor(0, 64, 0));
  Axis->setLabelFormat("%g");
}

QChart* MakeChart(const QString& Title) {
  auto* Chart = new QChart;
  Chart->setTitle(Title);
  Chart->setTitleBrush(Lime);
  Chart->setBackgroundBrush(Qt::black);
  Chart->setPlotAreaBackgroundVisible(false);
  Chart->legend()->hide();
  Chart->setAnimationOptions(QChart::NoAnimation);
  Chart->setMargins(QMargins(4, 4, 4, 4));
  return Chart;
}

// The function plot's view: horizontal zoom with the mouse (left button drag),
// horizontal panning with the right button.
class TPlotView : public QChartView {
public:
  using QChartView::QChartView;

protected:
  void mousePressEvent(QMouseEvent* Event) override {
    if (Event->button() == Qt::RightButton) {
      FPanning = true;
      FLastX = Event->position().x();
      Event->accept();
      return;
    }
    QChartView::mousePressEvent(Event);
  }
  void mouseMoveEvent(QMouseEvent* Event) override {
    if (FPanning) {
      const qreal x = Event->position().x();
      chart()->scroll(FLastX - x, 0);
      FLastX = x;
      Event->accept();
      return;
    }
    QChartView::mouseMoveEvent(Event);
  }
  void mouseReleaseEvent(QMouseEvent* Event) override {
    if (FPanning && Event->button() == Qt::RightButton) {
      FPanning = false;
      Event->accept();
      return;
    }
    QChartView::mouseReleaseEvent(Event);
  }

private:
  bool FPanning = false;
  qreal FLastX = 0;
};

}  // namespace


// ---------------------------------------------------------------------------
// Construction and layout

TMainForm::TMainForm(TSoundSystem& SoundSystem, std::string SettingsFile, QWidget* Parent)
    : QMainWindow(Parent), TComponent(nullptr), FSoundSystem(SoundSystem), FSettingsFile(std::move(SettingsFile)) {
  FQueue = std::make_unique<TQtMessageQueue>();
  Audio1 = new TAudio(this, FSoundSystem, *FQueue);
  Audio1->OnPlayed = [this](TPersistent* Sender) { Safely([&] { Audio1Played(Sender); }); };
  Audio1->OnMixerChange = [this](TPersistent* Sender, uint16_t Destination, uint16_t Source) {
    Safely([&] { Audio1MixerChange(Sender, Destination, Source); });
  };
  BuildWindow();
  Safely([this] { FormCreate(); });
  if (FSoundSystem.Name() == "Virtual sound card")
    sbar1Panels[0]->setText("No sound card: virtual sound card, test signal");
  Timer1->start();
  HealthPanel1->Timer->start();
}

TMainForm::~TMainForm() {
  Timer1->stop();
  HealthPanel1->Timer->stop();
  // The live loop's thread and the devices' callbacks end before anything
  // they use goes.
  FRecording = false;
  FLoop.reset();
  if (Audio1->Recorder()->DeviceOpen()) Audio1->Recorder()->Stop();
  Audio1->OnRecord = nullptr;
  Audio1->OnPlayed = nullptr;
  Audio1->OnMixerChange = nullptr;
  delete Audio1;
  Audio1 = nullptr;
  FormDestroy();
}

TMessageQueue& TMainForm::Queue() { return *FQueue; }

void TMainForm::BuildWindow() {
  setWindowTitle(Caption);
  setWindowIcon(ProgramIcon());
  resize(1000, 680);

  QMenu* FileMenu = menuBar()->addMenu("File");
  Exit1 = FileMenu->addAction("Exit");
  QMenu* HelpMenu = menuBar()->addMenu("Help");
  About1 = HelpMenu->addAction("About");
  connect(Exit1, &QAction::triggered, this, [this] { Safely([this] { Exit1Click(); }); });
  connect(About1, &QAction::triggered, this, [this] { Safely([this] { About1Click(); }); });

  BuildCharts();

  auto* Central = new QWidget(this);
  auto* Outer = new QVBoxLayout(Central);
  Outer->setContentsMargins(2, 2, 2, 2);
  auto* Top = new QHBoxLayout;
  auto* Charts = new QSplitter(Qt::Vertical, Central);
  Charts->addWidget(Chart2View);
  Charts->addWidget(Chart1View);
  Top->addWidget(Charts, 1);

  PageControl1 = new QTabWidget(Central);
  PageControl1->addTab(BuildAudioPage(), "Audio");
  PageControl1->addTab(BuildFilterPage(), "Filter");
  PageControl1->addTab(BuildSpectrumPage(), "Spectrum");
  PageControl1->addTab(BuildPlotPage(), "Plot");
  PageControl1->setFixedWidth(280);
  Top->addWidget(PageControl1);
  Outer->addLayout(Top, 1);

  // Bottom panel.
  auto* Bottom = new QHBoxLayout;
  SpeedButton1 = new QPushButton("Sample", Central);
  SpeedButton1->setCheckable(true);
  SpeedButton1->setMinimumWidth(90);
  Status = new QLabel("Idle", Central);
  Status->setMinimumWidth(90);
  QPalette StatusPalette = Status->palette();
  StatusPalette.setColor(QPalette::WindowText, Qt::black);
  Status->setPalette(StatusPalette);
  Label1 = new QLabel("0", Central);
  Label1->setMinimumWidth(60);
  Bottom->addWidget(SpeedButton1);
  Bottom->addWidget(Status);
  Bottom->addStretch(1);
  Bottom->addWidget(new QLabel("Dominant frequency :", Central));
  Bottom->addWidget(Label1);
  Outer->addLayout(Bottom);
  setCentralWidget(Central);

  sbar1 = statusBar();
  const int Widths[3] = {100, 100, 50};
  for (int i = 0; i < 3; ++i) {
    sbar1Panels[i] = new QLabel(sbar1);
    sbar1Panels[i]->setMinimumWidth(Widths[i]);
    sbar1->addWidget(sbar1Panels[i], i == 2 ? 1 : 0);
  }

  Timer1 = new QTimer(this);
  Timer1->setInterval(100);

  connect(SpeedButton1, &QPushButton::clicked, this, [this] { Safely([this] { SpeedButton1Click(); }); });
  connect(Timer1, &QTimer::timeout, this, [this] { Safely([this] { Timer1Timer(); }); });
  connect(HealthPanel1->Timer, &QTimer::timeout, this, [this] { Safely([this] { RefreshHealth(); }); });
}

void TMainForm::BuildCharts() {
  Chart1 = MakeChart("Frequency spectrum");
  Series1Bars = new QLineSeries(Chart1);  // the area series does not own its outline
  Series1 = new QAreaSeries(Series1Bars);
  Series1->setBrush(Green);
  Series1->setPen(QPen(Lime, 1));
  Series3 = new QLineSeries;
  Series3->setPen(QPen(Yellow, 1));
  Series4 = new QLineSeries;
  Series4->setPen(QPen(Cyan, 1));
  Chart1->addSeries(Series1);
  Chart1->addSeries(Series3);
  Chart1->addSeries(Series4);
  Chart1Bottom = new QValueAxis;
  StyleAxis(Chart1Bottom, "Frequency [Hz]");
  Chart1Bottom->setRange(0, 5000);
  Chart1Left = new QValueAxis;
  StyleAxis(Chart1Left, "Amplitude");
  Chart1Left->setRange(0, 1);
  Chart1Right = new QValueAxis;
  StyleAxis(Chart1Right, "Designed response [%]");
  Chart1Right->setTitleBrush(Yellow);
  Chart1Right->setLabelsColor(Yellow);
  Chart1Right->setGridLineVisible(false);
  Chart1Right->setRange(0, 101);
  Chart1->addAxis(Chart1Bottom, Qt::AlignBottom);
  Chart1->addAxis(Chart1Left, Qt::AlignLeft);
  Chart1->addAxis(Chart1Right, Qt::AlignRight);
  UseRoundTicks(Chart1Right, 6);
  Chart1Response = new QValueAxis;
  StyleAxis(Chart1Response, "Measured response [dB]");
  Chart1Response->setTitleBrush(Cyan);
  Chart1Response->setLabelsColor(Cyan);
  Chart1Response->setGridLineVisible(false);
  Chart1Response->setRange(ResponseFloorDb, ResponseTopDb);
  UseRoundTicks(Chart1Response, 7);  // every 20 dB from 0 dB
  Chart1->addAxis(Chart1Response, Qt::AlignRight);
  Series1->attachAxis(Chart1Bottom);
  Series1->attachAxis(Chart1Left);
  Series3->attachAxis(Chart1Bottom);
  Series3->attachAxis(Chart1Right);
  Series4->attachAxis(Chart1Bottom);
  Series4->attachAxis(Chart1Response);
  Chart1View = new QChartView(Chart1);
  Chart1View->setRenderHint(QPainter::Antialiasing, false);
  Chart1View->setRubberBand(QChartView::NoRubberBand);
  Chart1View->setBackgroundBrush(Qt::black);

  Chart2 = MakeChart("Function Plot");
  Series2 = new QLineSeries;
  Series2->setPen(QPen(Yellow, 1));
  Chart2->addSeries(Series2);
  Chart2Bottom = new QValueAxis;
  StyleAxis(Chart2Bottom, "Time");
  Chart2Bottom->setRange(0, 200);
  Chart2Left = new QValueAxis;
  StyleAxis(Chart2Left, "Amplitude");
  Chart2Left->setRange(0, 1);
  Chart2->addAxis(Chart2Bottom, Qt::AlignBottom);
  Chart2->addAxis(Chart2Left, Qt::AlignLeft);
  Series2->attachAxis(Chart2Bottom);
  Series2->attachAxis(Chart2Left);
  Chart2View = new TPlotView(Chart2);
  Chart2View->setRubberBand(QChartView::HorizontalRubberBand);
  Chart2View->setBackgroundBrush(Qt::black);
}

QWidget* TMainForm::BuildAudioPage() {
  auto* Page = new QWidget;
  auto* Layout = new QVBoxLayout(Page);

  // The devices: ALSA's "default" or a device ALSA lists.
  auto* GroupDevices = new QGroupBox(" Devices ", Page);
  auto* DeviceGrid = new QGridLayout(GroupDevices);
  auto DeviceList = [&](int R, const QString& Caption, bool Input) {
    auto* Combo = new TDeviceCombo(GroupDevices);
    Combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    Combo->setMinimumContentsLength(12);
    Combo->OnPopup = [this, Input] { Safely([this, Input] { RefreshDeviceList(Input); }); };
    auto* Label = new QLabel(Caption, GroupDevices);
    Label->setBuddy(Combo);
    DeviceGrid->addWidget(Label, R, 0);
    DeviceGrid->addWidget(Combo, R, 1);
    DeviceGrid->setColumnStretch(1, 1);
    return Combo;
  };
  ComboInputDevice = DeviceList(0, "Input device", true);
  ComboOutputDevice = DeviceList(1, "Output device", false);
  Layout->addWidget(GroupDevices);

  // The mixer's six lines: disabled until start-up finds their lines.
  auto Row = [](QGridLayout* Grid, int R, QCheckBox*& Box, QSlider*& Slider, const QString& Name,
                QWidget* Parent) {
    Box = new QCheckBox(Name, Parent);
    Slider = MakeSlider(0, 100, 10, Parent);
    Box->setEnabled(false);
    Slider->setEnabled(false);
    Grid->addWidget(Box, R, 0);
    Grid->addWidget(Slider, R, 1);
  };
  GroupAudioOut = new QGroupBox(" Audio out ", Page);
  auto* OutGrid = new QGridLayout(GroupAudioOut);
  Row(OutGrid, 0, CheckBox7, TrackBar7, "Master", GroupAudioOut);
  Row(OutGrid, 1, CheckBox6, TrackBar6, "Wave", GroupAudioOut);
  Row(OutGrid, 2, CheckBox4, TrackBar4, "Mic", GroupAudioOut);
  Row(OutGrid, 3, CheckBox5, TrackBar5, "Line", GroupAudioOut);
  GroupAudioIn = new QGroupBox(" Audio in ", Page);
  auto* InGrid = new QGridLayout(GroupAudioIn);
  Row(InGrid, 0, CheckBox2, TrackBar2, "Mic", GroupAudioIn);
  Row(InGrid, 1, CheckBox3, TrackBar3, "Line", GroupAudioIn);
  ButtonAutoSetAudio = new QPushButton("Auto set audio", Page);
  ButtonAutoSetAudio->setEnabled(false);

  GroupVolumeSettings = new QGroupBox("Volume settings", Page);
  auto* Hidden = new QVBoxLayout(GroupVolumeSettings);
  DestSel = new QComboBox(GroupVolumeSettings);
  SourceSel = new QComboBox(GroupVolumeSettings);
  Hidden->addWidget(DestSel);
  Hidden->addWidget(SourceSel);
  GroupVolumeSettings->hide();

  Layout->addWidget(GroupAudioOut);
  Layout->addWidget(GroupAudioIn);
  Layout->addWidget(ButtonAutoSetAudio);

  Layout->addWidget(new QLabel("Input level", Page));
  Gauge1 = new QProgressBar(Page);
  Gauge1->setRange(0, 32768);
  Gauge1->setValue(0);
  Gauge1->setTextVisible(false);
  Gauge1->setStyleSheet("QProgressBar { background: green; border: 1px solid gray; }"
                        "QProgressBar::chunk { background: yellow; }");
  Layout->addWidget(Gauge1);

  CheckTrigger = new QCheckBox("Trigger on", Page);
  TrigLvl = MakeSlider(0, 100, 90, Page);
  Label4 = new QLabel("90", Page);
  auto* TrigRow = new QHBoxLayout;
  TrigRow->addWidget(TrigLvl, 1);
  TrigRow->addWidget(Label4);
  Layout->addWidget(CheckTrigger);
  Layout->addLayout(TrigRow);
  HealthPanel1 = new THealthPanel(Page);
  Layout->addWidget(HealthPanel1);
  Layout->addStretch(1);

  const struct {
    QCheckBox* Box;
    QSlider* Slider;
    void (TMainForm::*Click)();
    void (TMainForm::*Change)();
  } Rows[] = {
      {CheckBox7, TrackBar7, &TMainForm::CheckBox7Click, &TMainForm::TrackBar7Change},
      {CheckBox6, TrackBar6, &TMainForm::CheckBox6Click, &TMainForm::TrackBar6Change},
      {CheckBox4, TrackBar4, &TMainForm::CheckBox4Click, &TMainForm::TrackBar4Change},
      {CheckBox5, TrackBar5, &TMainForm::CheckBox5Click, &TMainForm::TrackBar5Change},
      {CheckBox2, TrackBar2, &TMainForm::CheckBox2Click, &TMainForm::TrackBar2Change},
      {CheckBox3, TrackBar3, &TMainForm::CheckBox3Click, &TMainForm::TrackBar3Change},
  };
  for (const auto& R : Rows) {
    connect(R.Box, &QCheckBox::toggled, this, [this, F = R.Click] { Safely([this, F] { (this->*F)(); }); });
    connect(R.Slider, &QSlider::valueChanged, this, [this, F = R.Change] { Safely([this, F] { (this->*F)(); }); });
  }
  connect(ButtonAutoSetAudio, &QPushButton::clicked, this, [this] { Safely([this] { ButtonAutoSetAudioClick(); }); });
  connect(ComboInputDevice, &QComboBox::activated, this, [this] { Safely([this] { ComboInputDeviceChange(); }); });
  connect(ComboOutputDevice, &QComboBox::activated, this, [this] { Safely([this] { ComboOutputDeviceChange(); }); });
  connect(DestSel, &QComboBox::activated, this, [this] { Safely([this] { DestSelChange(); }); });
  connect(CheckTrigger, &QCheckBox::toggled, this, [this] { Safely([this] { CheckTriggerClick(); }); });
  connect(TrigLvl, &QSlider::valueChanged, this, [this] { Safely([this] { TrigLvlChange(); }); });
  return Page;
}

QWidget* TMainForm::BuildFilterPage() {
  auto* Page = new QWidget;
  auto* Layout = new QVBoxLayout(Page);
  CheckFilter = new QCheckBox("Filter enabled", Page);
  Layout->addWidget(CheckFilter);

  Layout->addWidget(new QLabel("Filter type", Page));
  ComboFilterType = MakeList({"Low pass", "Band pass", "High pass"}, Page);
  Layout->addWidget(ComboFilterType);

  auto* CenterRow = new QHBoxLayout;
  CenterRow->addWidget(new QLabel("Center frequency", Page));
  Label9 = new QLabel(Page);
  CenterRow->addWidget(Label9);
  CenterRow->addStretch(1);
  Layout->addLayout(CenterRow);
  TrackBar1 = MakeSlider(100, 5000, 2000, Page);
  Layout->addWidget(TrackBar1);

  auto* WidthRow = new QHBoxLayout;
  WidthRow->addWidget(new QLabel("Frequency width", Page));
  Label7 = new QLabel(Page);
  WidthRow->addWidget(Label7);
  WidthRow->addStretch(1);
  Layout->addLayout(WidthRow);
  TrackBandWidth = MakeSlider(100, 3000, 500, Page);
  TrackBandWidth->setTickInterval(100);
  TrackBandWidth->setTickPosition(QSlider::TicksBelow);
  Layout->addWidget(TrackBandWidth);
  Layout->addStretch(1);

  connect(CheckFilter, &QCheckBox::toggled, this, [this] { Safely([this] { CheckFilterClick(); }); });
  connect(ComboFilterType, &QComboBox::activated, this, [this] { Safely([this] { ComboFilterTypeChange(); }); });
  connect(TrackBar1, &QSlider::valueChanged, this, [this] { Safely([this] { TrackBar1Change(); }); });
  connect(TrackBandWidth, &QSlider::valueChanged, this, [this] { Safely([this] { TrackBandWidthChange(); }); });
  return Page;
}

QWidget* TMainForm::BuildSpectrumPage() {
  auto* Page = new QWidget;
  auto* Layout = new QVBoxLayout(Page);
  CheckSpectrumOn = new QCheckBox("Spectrum enabled", Page);
  CheckSpectrumOn->setChecked(true);
  Layout->addWidget(CheckSpectrumOn);

  auto* Decay = new QGroupBox("Exponencial decay", Page);
  auto* DecayLayout = new QHBoxLayout(Decay);
  CheckExpDecay = new QCheckBox("Enabled", Decay);
  decay_combo = MakeList({"5", "10", "30", "70"}, Decay);
  decay_combo->setEnabled(false);
  DecayLayout->addWidget(CheckExpDecay);
  DecayLayout->addWidget(new QLabel("Factor", Decay));
  DecayLayout->addWidget(decay_combo);
  Layout->addWidget(Decay);

  auto* Scale = new QGroupBox("Scale", Page);
  auto* ScaleLayout = new QVBoxLayout(Scale);
  ComboSpectrumScale = MakeList({"Peak hold scale", "Auto scale", "Manual scale"}, Scale);
  ButtonRefreshSpectrumScale = new QPushButton("Refresh", Scale);
  ButtonRefreshSpectrumScale->setEnabled(false);
  auto* ScaleRow = new QHBoxLayout;
  ScaleRow->addWidget(ComboSpectrumScale, 1);
  ScaleRow->addWidget(ButtonRefreshSpectrumScale);
  ScaleLayout->addLayout(ScaleRow);
  auto* ManualRow = new QHBoxLayout;
  ManualRow->addWidget(new QLabel("Manual scale :", Scale));
  Label14 = new QLabel(Scale);
  ManualRow->addWidget(Label14);
  ManualRow->addStretch(1);
  ScaleLayout->addLayout(ManualRow);
  TrackSpectrumMax = MakeSlider(2, 1000, 2, Scale);
  TrackSpectrumMax->setEnabled(false);
  ScaleLayout->addWidget(TrackSpectrumMax);
  Layout->addWidget(Scale);

  auto* Buttons = new QHBoxLayout;
  Button1 = new QPushButton("Equalize", Page);
  BottonResetSpectrum = new QPushButton("Reset", Page);
  Buttons->addWidget(Button1);
  Buttons->addWidget(BottonResetSpectrum);
  Layout->addLayout(Buttons);
  Layout->addStretch(1);

  connect(CheckSpectrumOn, &QCheckBox::toggled, this, [this] { Safely([this] { CheckSpectrumOnClick(); }); });
  connect(CheckExpDecay, &QCheckBox::toggled, this, [this] { Safely([this] { CheckExpDecayClick(); }); });
  connect(decay_combo, &QComboBox::activated, this, [this] { Safely([this] { decay_comboClick(); }); });
  connect(ComboSpectrumScale, &QComboBox::activated, this,
          [this] { Safely([this] { ComboSpectrumScaleChange(); }); });
  connect(ButtonRefreshSpectrumScale, &QPushButton::clicked, this,
          [this] { Safely([this] { ButtonRefreshSpectrumScaleClick(); }); });
  connect(TrackSpectrumMax, &QSlider::valueChanged, this, [this] { Safely([this] { TrackSpectrumMaxChange(); }); });
  connect(Button1, &QPushButton::clicked, this, [this] { Safely([this] { Button1Click(); }); });
  connect(BottonResetSpectrum, &QPushButton::clicked, this, [this] { Safely([this] { BottonClearPlotClick(); }); });
  return Page;
}

QWidget* TMainForm::BuildPlotPage() {
  auto* Page = new QWidget;
  auto* Layout = new QVBoxLayout(Page);
  CheckPlotOn = new QCheckBox("Plot enabled", Page);
  Layout->addWidget(CheckPlotOn);
  Layout->addWidget(new QLabel("Plot function", Page));
  ComboPlotFunction = MakeList({"Dominant amplitude", "Dominant frequency", "Realtime amplitude"}, Page);
  Layout->addWidget(ComboPlotFunction);
  Layout->addWidget(new QLabel("Smoothing", Page));
  ComboPlotSmoothing =
      MakeList({"(None)", "Moving average small", "Moving average medium", "Moving average large"}, Page);
  Layout->addWidget(ComboPlotSmoothing);

  auto* Scale = new QGroupBox("Scale", Page);
  auto* ScaleLayout = new QVBoxLayout(Scale);
  ComboPlotScale = MakeList({"Peak hold scale", "Auto scale", "Manual scale"}, Scale);
  ButtonRefreshPlotScale = new QPushButton("Refresh", Scale);
  ButtonRefreshPlotScale->setEnabled(false);
  auto* ScaleRow = new QHBoxLayout;
  ScaleRow->addWidget(ComboPlotScale, 1);
  ScaleRow->addWidget(ButtonRefreshPlotScale);
  ScaleLayout->addLayout(ScaleRow);
  auto* ManualRow = new QHBoxLayout;
  ManualRow->addWidget(new QLabel("Manual scale :", Scale));
  Label12 = new QLabel(Scale);
  ManualRow->addWidget(Label12);
  ManualRow->addStretch(1);
  ScaleLayout->addLayout(ManualRow);
  TrackPlotMax = MakeSlider(2, 2000, 2, Scale);
  TrackPlotMax->setEnabled(false);
  ScaleLayout->addWidget(TrackPlotMax);
  Layout->addWidget(Scale);

  auto* Buttons = new QHBoxLayout;
  BottonClearPlot = new QPushButton("Reset plot", Page);
  ButtonTest = new QPushButton("Test", Page);
  ButtonTest->setToolTip("Write the current dominant frequency and amplitude to the memo");
  Buttons->addWidget(BottonClearPlot);
  Buttons->addWidget(ButtonTest);
  Layout->addLayout(Buttons);

  auto* Measured = new QGroupBox("Measured response", Page);
  auto* MeasuredLayout = new QVBoxLayout(Measured);
  LabelResponse = new QLabel(Measured);
  LabelResponse->setTextInteractionFlags(Qt::TextSelectableByMouse);
  MeasuredLayout->addWidget(LabelResponse);
  Layout->addWidget(Measured);

  Query = new QPushButton("Query Sound System", Page);
  Layout->addWidget(Query);
  Memo1 = new QPlainTextEdit(Page);
  Memo1->setReadOnly(true);
  Layout->addWidget(Memo1, 1);

  connect(ComboPlotFunction, &QComboBox::currentIndexChanged, this,
          [this] { Safely([this] { ComboPlotFunctionChange(); }); });
  connect(ComboPlotScale, &QComboBox::activated, this, [this] { Safely([this] { ComboPlotScaleChange(); }); });
  connect(ButtonRefreshPlotScale, &QPushButton::clicked, this,
          [this] { Safely([this] { ButtonRefreshPlotScaleClick(); }); });
  connect(TrackPlotMax, &QSlider::valueChanged, this, [this] { Safely([this] { TrackPlotMaxChange(); }); });
  connect(BottonClearPlot, &QPushButton::clicked, this, [this] { Safely([this] { BottonClearPlotClick(); }); });
  connect(ButtonTest, &QPushButton::clicked, this, [this] { Safely([this] { ButtonTestClick(); }); });
  connect(Query, &QPushButton::clicked, this, [this] { Safely([this] { QueryClick(); }); });
  return Page;
}

// ---------------------------------------------------------------------------
// Errors

template <class F>
void TMainForm::Safely(F&& Handler) {
  try {
    Handler();
  } catch (const std::exception& E) {
    ShowException(QString::fromStdString(E.what()));
  } catch (...) {
    ShowException("Unknown error");
  }
}

void TMainForm::ShowException(const QString& Text) {
  if (ErrorBoxHook)
    ErrorBoxHook(Text);
  else
    QMessageBox::critical(this, "Quellmarin", Text);
}

void TMainForm::ShowAudioError() { sbar1Panels[2]->setText(QString::fromStdString(Audio1->ErrorMessage())); }

// ---------------------------------------------------------------------------
// Start-up, settings file and shutdown

void TMainForm::FormCreate() {
  // 1-2: the file is read once here; every key below comes from that text.
  // Nothing that follows depends on the read succeeding.
  delete IniFile;
  IniFile = new TKustomIniFile(FSettingsFile);
  const TIniText Settings = ReadSettings(*IniFile, [this](const QString& Text) { ShowException(Text); });
  NewBlock = false;
  FilterChanged = false;
  SelFilterType = ftLowPass;
  SelCenterFreq = 0;
  std::fill(std::begin(SmoothBuf), std::end(SmoothBuf), 0.0f);
  SmoothIndex = 0;
  // 3
  SetItemIndex(ComboFilterType, Settings.ReadInteger(Section, "FilterType", 0));
  ComboFilterTypeChange();
  // 4-5
  SetupRecorder(Audio1);
  FLoop.reset();
  delete Engine;
  Engine = new TFFT;
  Engine->Init(this, Audio1, SelFilterType, SelCenterFreq);
  FLoop = std::make_unique<TLiveLoop>(*Audio1, *Engine);
  FLoop->SetNewBlockFlag(&NewBlock);
  FShown = nullptr;
  // 6-9
  PageControl1->setCurrentIndex(0);
  LoadMixerLists();
  Audio1->Recorder()->SetTriggered(true);
  TrigLvlChange();
  FRecording = false;
  // 10-12
  SetItemIndex(ComboSpectrumScale, Settings.ReadInteger(Section, "SpectumScaleType", 0));
  TrackSpectrumMax->setValue(Settings.ReadInteger(Section, "SpectumScaleMax", 0));
  ComboSpectrumScaleChange();
  decay_combo->setCurrentIndex(0);
  CheckExpDecay->setChecked(Settings.ReadBool(Section, "ExpDecayOn", false));
  CheckExpDecayClick();
  // 13-17
  SetItemIndex(ComboPlotFunction, Settings.ReadInteger(Section, "PlotFunction", 0));
  CheckPlotOn->setChecked(Settings.ReadBool(Section, "PlotOn", false));
  SetItemIndex(ComboPlotScale, Settings.ReadInteger(Section, "PlotScaleType", 0));
  SetItemIndex(ComboPlotSmoothing, Settings.ReadInteger(Section, "PlotSmoothingType", 0));
  TrackPlotMax->setValue(Settings.ReadInteger(Section, "PlotScaleMax", 0));
  ComboPlotScaleChange();
  // 18-19
  CheckFilter->setChecked(Settings.ReadBool(Section, "FilterOn", false));
  FLoop->SetFilterEnabled(CheckFilter->isChecked());
  DefaultValueCapacity = 2500;
  // 20-21
  Chart1Bottom->setMax(5000);
  TrackBar1->setMaximum(RoundEven(Chart1Bottom->max()));
  TrackBar1->setMinimum(100);
  TrackBandWidth->setMinimum(100);
  TrackBar1->setValue(Settings.ReadInteger(Section, "FilterCenterFreq", 2000));
  TrackBandWidth->setValue(Settings.ReadInteger(Section, "FilterBandwidth", 500));
  // 22: both labels show their values, SelCenterFreq the restored centre, and
  // a redesign is pending for the first refresh.
  FilterChanged = false;
  TrackBandWidthChange();
  FilterChanged = false;
  TrackBar1Change();
  // 23-25
  TrigLvlChange();
  Engine->FPlotCount = 0;
  Engine->FEqualizeRequest = false;
  LoadMixerLines();
  const std::string Gone = RestoreDevices(Settings);
  if (!Gone.empty()) AddStatusNote(QString::fromStdString(Gone));
}

bool TMainForm::FormCloseQuery() {
  // Blocks still waiting are not played any more: the player is about to stop.
  FRecording = false;
  if (FLoop) FLoop->Stop();
  return true;
}

void TMainForm::FormClose() {
  const struct {
    const char* Key;
    int32_t Value;
  } Keys[] = {
      {"PlotFunction", ComboPlotFunction->currentIndex()},
      {"PlotOn", CheckPlotOn->isChecked()},
      {"FilterOn", CheckFilter->isChecked()},
      {"FilterType", ComboFilterType->currentIndex()},
      {"FilterCenterFreq", TrackBar1->value()},
      {"FilterBandwidth", TrackBandWidth->value()},
      {"SpectumScaleType", ComboSpectrumScale->currentIndex()},
      {"SpectumScaleMax", TrackSpectrumMax->value()},
      {"PlotScaleType", ComboPlotScale->currentIndex()},
      {"PlotScaleMax", TrackPlotMax->value()},
      {"PlotSmoothingType", ComboPlotSmoothing->currentIndex()},
      {"ExpDecayOn", CheckExpDecay->isChecked()},
  };
  // A file start-up could not read stays as it is (start-up said so).
  if (IniFile == nullptr || !SettingsReadable) return;
  // The device keys only once a device was chosen (or the file has them), so
  // that a file of someone who never chose keeps its twelve keys.
  const bool Devices =
      FDeviceKeysSaved || FInputDevice != DefaultDeviceName || FOutputDevice != DefaultDeviceName;
  // All keys in one replacement of the file: a crash or a full disk leaves
  // either the old or the new settings, never a mix. Booleans are written as 1
  // and 0, the same text as WriteBool gives.
  IniFile->Update([&](TIniText& Text) {
    for (const auto& K : Keys) Text.WriteInteger(Section, K.Key, K.Value);
    if (Devices) {
      Text.WriteString(Section, InputDeviceKey, FInputDevice);
      Text.WriteString(Section, OutputDeviceKey, FOutputDevice);
    }
  });
}

void TMainForm::FormDestroy() {
  FLoop.reset();
  FShown = nullptr;
  delete Engine;
  Engine = nullptr;
  delete IniFile;
  IniFile = nullptr;
}

void TMainForm::Exit1Click() { close(); }

void TMainForm::closeEvent(QCloseEvent* Event) {
  if (!FClosed) {
    Safely([this] { FormCloseQuery(); });
    FClosed = true;
    Safely([this] { FormClose(); });
  }
  Event->accept();
}

// ---------------------------------------------------------------------------
// Record-filter-play cycle

void TMainForm::ButtonStatus(const QString& Text) {
  Status->setText(Text);
  QPalette Palette = Status->palette();
  Palette.setColor(QPalette::WindowText, Qt::black);
  Status->setPalette(Palette);
  // The report opens and closes the wave devices itself: only between runs
  // (the caption also reads "Idle" while a run's output waits for a block).
  Query->setEnabled(Text == "Idle" && !FRecording);
}

void TMainForm::SpeedButton1Click() {
  TRecorder* Recorder = Audio1->Recorder();
  if (CheckTrigger->isChecked()) Recorder->SetTriggered(false);
  if (SpeedButton1->isChecked()) {
    if (ComboSpectrumScale->currentIndex() == 0) Chart1Left->setMax(1);
    FRecording = true;
    FLoop->SetFilterEnabled(CheckFilter->isChecked());
    FLoop->SetTriggerOn(CheckTrigger->isChecked());
    FBlinkedBlocks = 0;
    // Block numbers start afresh with the run; its first block starts the
    // filter with an empty history.
    FMeterFrom = 1;
    if (!FLoop->Start()) {
      // Nothing records: say why and leave the button up, not "Recording".
      ShowAudioError();
      EndRun();
      return;
    }
    // A run whose output could not be opened goes on (display and recording)
    // and says why; the loop tries the output again now and then.
    if (const std::string Out = FLoop->OutputError(); !Out.empty())
      sbar1Panels[2]->setText(QString::fromStdString(Out));
    ButtonStatus("Recording");
  } else {
    FRecording = false;
    FLoop->Stop();
    ButtonStatus("Idle");
  }
}

void TMainForm::CheckRunEnded() {
  if (!FLoop || FLoop->State() != TLiveLoop::rsEnded) return;
  FLoop->Stop();
  sbar1Panels[2]->setText(QString::fromStdString(FLoop->EndReason()));
  EndRun();
}

void TMainForm::ShowLoopState() {
  if (!FLoop) return;
  const uint64_t Blocks = FLoop->Blocks();
  if (FRecording && Blocks != FBlinkedBlocks) {
    // The caption blinks once per block: an odd number of blocks since the
    // last refresh toggles it.
    if ((Blocks - FBlinkedBlocks) % 2 == 1) {
      QPalette Palette = Status->palette();
      const QColor Now = Palette.color(QPalette::WindowText);
      Palette.setColor(QPalette::WindowText, Now == Yellow ? Green : Yellow);
      Status->setPalette(Palette);
    }
    FBlinkedBlocks = Blocks;
  }
  // Dropouts: the sound system's own recoveries, the output running dry or
  // being reopened, and the samples the clock drift cost or added.
  const uint64_t Xruns = SoundSystemXruns(FSoundSystem) + FLoop->Underruns() + FLoop->OutputRestarts();
  const int64_t Dropped = FLoop->DroppedFrames();
  const int64_t Padded = FLoop->PaddedFrames();
  if (Xruns > 0 || Dropped > 0 || Padded > 0) {
    QString Text = QString("Overruns/underruns: %1").arg(Xruns);
    if (Dropped > 0 || Padded > 0)
      Text += QString(", drift -%1/+%2 ms").arg(Dropped / 20).arg(Padded / 20);
    sbar1Panels[1]->setText(Text);
    sbar1Panels[1]->setToolTip(QString("Output restarts: %1, output ran dry: %2, dropped %3 and padded %4 samples")
                                   .arg(FLoop->OutputRestarts())
                                   .arg(FLoop->Underruns())
                                   .arg(Dropped)
                                   .arg(Padded));
  }
}

void TMainForm::EndRun() {
  FRecording = false;
  SpeedButton1->setChecked(false);  // no click: the handler does not run again
  if (FLoop) FLoop->Stop();
  ButtonStatus("Idle");
}

void TMainForm::Audio1Played(TPersistent*) {
  // The live loop writes its own output stream; the player runs dry only for
  // other users (the capability report), never during a run.
  if (!FRecording) ButtonStatus("Idle");
}

void TMainForm::CheckTriggerClick() {
  FLoop->SetTriggerOn(CheckTrigger->isChecked());
  Audio1->Recorder()->SetTriggered(!CheckTrigger->isChecked());
}

void TMainForm::TrigLvlChange() {
  const int p = TrigLvl->value();
  TRecorder* Recorder = Audio1->Recorder();
  int32_t Level;
  if (Recorder->BitsPerSample() == _8)
    Level = RoundEven((100 - p) / 100.0 * 127) + 127;
  else
    Level = RoundEven((100 - p) / 100.0 * 32767);
  Recorder->SetTrigLevel(static_cast<uint16_t>(Level));
  Label4->setText(QString::number(p));
}

// ---------------------------------------------------------------------------
// Display refresh

void TMainForm::RefreshHealth() {
  HealthPanel1->Refresh(FLoop.get(), FSoundSystem, Audio1 ? Audio1->Recorder() : nullptr);
}

void TMainForm::Timer1Timer() {
  CheckRunEnded();
  FLoop->CollectRetired();
  ShowLoopState();
  if (!NewBlock.load()) return;
  if (const TLiveSnapshot* Latest = FLoop->TakeSnapshot()) {
    FShown = Latest;
    // Each block pair once; the blocks a design change fades over are left out.
    if (Latest->Block > FMeterFrom) FMeter.Add(Latest->Input, Latest->Output, Latest->Samples);
  }
  int32_t Level = 0;
  if (!ReadInputLevel(Level)) Level = 0;
  Gauge1->setValue(std::clamp<int32_t>(Level, 0, 32768));

  if (FilterChanged) {
    // The response side measures the new design; the live path gets a copy
    // of its taps and fades over to it at the next block.
    Engine->SetFilter(SelFilterType, TrackBandWidth->value(), SelCenterFreq);
    Engine->UpdateFilterResponse();
    const TSpectrum* S = Engine->FResponsePoint->Spectrum;
    const int32_t N = S->Length;
    QList<QPointF> Response;
    Response.reserve(std::max(DefaultValueCapacity, N / 2));
    for (int32_t i = 1; i <= RoundEven(N / 2.0) - 1; ++i)
      if (S->Amplitude[i] > 0)
        Response.append(QPointF(static_cast<double>(i) / N * S->HighFrequency + S->LowFrequency, S->Amplitude[i]));
    Series3->replace(Response);
    PublishDesign();
    ResetResponseMeter();
    FilterChanged = false;
    // The centre slider moved on while this change was pending: its latest
    // position is latched now for the next refresh, so that the filter ends
    // where the label says.
    if (TrackBar1->value() != SelCenterFreq) TrackBar1Change();
  }

  ShowMeasuredResponse();

  const TLiveSnapshot* L = FShown;
  if (CheckSpectrumOn->isChecked() && L) {
    const int32_t BarCount = std::max(0, RoundEven(L->BandCount / 2.0) - 1);
    const double Step = BarCount > 1 ? L->BandFreq[1] - L->BandFreq[0] : 100.0;
    QList<QPointF> Bars;
    Bars.reserve(std::max(DefaultValueCapacity, 4 * BarCount));
    for (int32_t i = 0; i < BarCount; ++i) {
      // A bar covers 80 % of its band's width, centred on the band's start.
      const double x = L->BandFreq[i];
      const double h = L->BandPeak[i];
      Bars.append(QPointF(x - 0.4 * Step, 0));
      Bars.append(QPointF(x - 0.4 * Step, h));
      Bars.append(QPointF(x + 0.4 * Step, h));
      Bars.append(QPointF(x + 0.4 * Step, 0));
    }
    Series1Bars->replace(Bars);
  }
  if (CheckPlotOn->isChecked() && L) {
    float Y = 0.0f;
    switch (ComboPlotFunction->currentIndex()) {
      case 0: Y = L->BandPeak[std::clamp<int32_t>(L->MaxBand, 0, TFFT::MaxBands - 1)]; break;
      case 1: Y = L->DominantHz; break;
      case 2: Y = L->BlockPeak; break;  // the largest absolute sample of the block
      default: break;
    }
    SetPlotValue(Y);
  }
  // Whole hertz: the estimate is good to a fraction of a hertz on a clean
  // tone, but tenths flicker with every block on real input.
  int32_t DominantHz = 0;
  float MaxAmplitude = 0.0f;
  if (L) {
    DominantHz = RoundEven(L->DominantHz);
    MaxAmplitude = L->MaxAmplitude;
  }
  Label1->setText(QString::number(DominantHz));
  if (ComboSpectrumScale->currentIndex() == 0 && !(Chart1Left->max() >= MaxAmplitude))
    Chart1Left->setMax(MaxAmplitude);
  if (ComboPlotScale->currentIndex() == 0 && FPlotHasPoints && FPlotMaxY > Chart2Left->max())
    Chart2Left->setMax(FPlotMaxY + 1);
  ApplyAutomaticAxes();
  NewBlock = false;
}

void TMainForm::PublishDesign() {
  const TFIRAnalysis* Design = Engine->FResponseFilter;
  const TTImeSignal& Taps = Design->Taps();
  if (Design->Dirty() || Taps.Length < 1) {
    sbar1Panels[2]->setText("The filter could not be designed: the previous filter stays in use");
    return;
  }
  try {
    FLoop->PublishFilter(std::make_unique<TLiveFilter>(Taps.Data, Taps.Length));
  } catch (const std::exception& E) {
    sbar1Panels[2]->setText(QString("The filter could not be designed (%1): the previous filter stays in use")
                                .arg(QString::fromLocal8Bit(E.what())));
  }
}

void TMainForm::ResetResponseMeter() {
  // The output lags the input by the linear-phase design's delay, half its
  // length; with the filter off it is the input itself.
  const int32_t Taps = Engine->FResponseFilter->Taps().Length;
  FMeter.Reset(CheckFilter->isChecked() ? std::max(0, (Taps - 1) / 2) : 0);
  // The block being processed now and the next one may still fade over to
  // the new design.
  FMeterFrom = FLoop->Blocks() + 2;
}

void TMainForm::ShowMeasuredResponse() {
  const int32_t Last = TResponseMeter::Bins / 2 - 1;  // as far as the designed response is drawn
  QList<QPointF> Points;
  Points.reserve(Last);
  for (int32_t k = 1; k <= Last; ++k) {
    double Db = 0;
    if (FMeter.GainDb(k, Db)) Points.append(QPointF(k * FMeter.BinHz(), std::max(Db, ResponseFloorDb)));
  }
  Series4->replace(Points);

  const TFIRAnalysis* Design = Engine->FResponseFilter;
  const TSpectrum* S = Engine->FResponsePoint->Spectrum;
  const TResponseMeter::TFigures F = FMeter.Figures(S->Amplitude, S->Length, Design->Ripple(), Design->StopBandAtt());
  const QString Stop = F.StopBins > 0 ? QString("%1 dB").arg(F.StopBandAttDb, 0, 'f', 1) : QString("-");
  const QString Pass = F.PassBins > 0 ? QString("\u00b1%1 dB").arg(F.RippleDb, 0, 'f', 3) : QString("-");
  LabelResponse->setText(QString("Blocks measured: %1%2\nStop-band attenuation: %3 (design %4 dB)\n"
                                 "Pass-band ripple: %5 (design \u00b1%6 dB)")
                             .arg(FMeter.Blocks())
                             .arg(CheckFilter->isChecked() ? "" : " (filter off)")
                             .arg(Stop)
                             .arg(static_cast<double>(Design->StopBandAtt()), 0, 'f', 1)
                             .arg(Pass)
                             .arg(RippleToDb(Design->Ripple()), 0, 'f', 3));
}

// Refresh step 5, after the value is taken: smoothing, the point, scrolling.
void TMainForm::SetPlotValue(float Y) {
  int32_t Window = 0;
  switch (ComboPlotSmoothing->currentIndex()) {
    case 1: Window = 20; break;
    case 2: Window = 35; break;
    case 3: Window = 51; break;
    default: break;
  }
  if (Window > 0) {
    if (SmoothIndex < 0 || SmoothIndex >= Window) SmoothIndex = 0;
    SmoothBuf[SmoothIndex] = Y;
    SmoothIndex = (SmoothIndex + 1) % Window;
    double Sum = 0;
    for (int32_t i = 0; i < Window; ++i) Sum += SmoothBuf[i];
    Y = static_cast<float>(Sum / Window);
  }
  int32_t Count;
  {
    Count = Engine->FPlotCount;
    ++Engine->FPlotCount;
  }
  Series2->append(Count, Y);
  FPlotMaxY = FPlotHasPoints ? std::max(FPlotMaxY, Y) : Y;
  FPlotMinY = FPlotHasPoints ? std::min(FPlotMinY, Y) : Y;
  FPlotHasPoints = true;
  // The plot keeps its latest PlotPoints points and goes on; the extremes the
  // axes follow are those of the points kept.
  if (Series2->count() > PlotPoints) {
    const double Gone = Series2->at(0).y();
    Series2->removePoints(0, Series2->count() - PlotPoints);
    if (Gone >= FPlotMaxY || Gone <= FPlotMinY) {
      const QList<QPointF> Kept = Series2->points();
      FPlotMaxY = FPlotMinY = static_cast<float>(Kept.front().y());
      for (const QPointF& P : Kept) {
        FPlotMaxY = std::max(FPlotMaxY, static_cast<float>(P.y()));
        FPlotMinY = std::min(FPlotMinY, static_cast<float>(P.y()));
      }
    }
  }
  if (Count > 200) Chart2Bottom->setRange(Chart2Bottom->min() + 1, Chart2Bottom->max() + 1);
}

// An axis with its automatic switch on follows its series.
void TMainForm::ApplyAutomaticAxes() {
  if (FSpectrumAuto) {
    double Top = 0;
    for (const QPointF& P : Series1Bars->points()) Top = std::max(Top, P.y());
    Chart1Left->setRange(0, Top > 0 ? Top * 1.05 : 1);
  }
  if (FPlotAuto && FPlotHasPoints) {
    const double Span = std::max(1e-3, static_cast<double>(FPlotMaxY - FPlotMinY));
    Chart2Left->setRange(FPlotMinY - 0.05 * Span, FPlotMaxY + 0.05 * Span);
  }
}

void TMainForm::ComboSpectrumScaleChange() {
  TrackSpectrumMax->setEnabled(false);
  ButtonRefreshSpectrumScale->setEnabled(false);
  switch (ComboSpectrumScale->currentIndex()) {
    case 0:
      FSpectrumAuto = false;
      Chart1Left->setMax(1);
      ButtonRefreshSpectrumScale->setEnabled(true);
      break;
    case 1:
      FSpectrumAuto = true;
      ApplyAutomaticAxes();
      break;
    case 2:
      FSpectrumAuto = false;
      TrackSpectrumMax->setEnabled(true);
      TrackSpectrumMaxChange();
      break;
    default:
      break;
  }
}

void TMainForm::TrackSpectrumMaxChange() {
  Chart1Left->setRange(0, TrackSpectrumMax->value());
  Label14->setText(QString::number(TrackSpectrumMax->value()));
}

void TMainForm::ButtonRefreshSpectrumScaleClick() {
  if (ComboSpectrumScale->currentIndex() == 0) Chart1Left->setMax(1);
}

void TMainForm::ComboPlotScaleChange() {
  TrackPlotMax->setEnabled(false);
  ButtonRefreshPlotScale->setEnabled(false);
  switch (ComboPlotScale->currentIndex()) {
    case 0:
      FPlotAuto = false;
      Chart2Left->setRange(0, 1);
      ButtonRefreshPlotScale->setEnabled(true);
      break;
    case 1:
      FPlotAuto = true;
      ApplyAutomaticAxes();
      break;
    case 2:
      FPlotAuto = false;
      TrackPlotMax->setEnabled(true);
      TrackPlotMaxChange();
      break;
    default:
      break;
  }
}

void TMainForm::ComboPlotFunctionChange() {
  const int Index = ComboPlotFunction->currentIndex();
  Chart2Left->setTitleText(Index >= 0 && Index < static_cast<int>(std::size(PlotTitles)) ? PlotTitles[Index] : "");
}

void TMainForm::TrackPlotMaxChange() {
  Chart2Left->setRange(0, TrackPlotMax->value());
  Label12->setText(QString::number(TrackPlotMax->value()));
}

void TMainForm::ButtonRefreshPlotScaleClick() {
  if (ComboPlotScale->currentIndex() == 0) Chart2Left->setRange(0, 1);
}

void TMainForm::BottonClearPlotClick() {
  Series2->clear();
  FPlotHasPoints = false;
  FPlotMaxY = FPlotMinY = 0.0f;
  Chart2->zoomReset();  // first: it restores the ranges from before any zoom
  Chart2Left->setRange(0, 1);
  Chart2Bottom->setRange(0, 200);
  Engine->FPlotCount = 0;
}

void TMainForm::Button1Click() { FLoop->RequestEqualize(); }

void TMainForm::CheckExpDecayClick() {
  FLoop->SetSpectrumAveraging(CheckExpDecay->isChecked() ? avInfiniteExponential : avNone,
                              decay_combo->currentText().toInt());
  decay_combo->setEnabled(CheckExpDecay->isChecked());
}

void TMainForm::decay_comboClick() {
  FLoop->SetSpectrumAveraging(CheckExpDecay->isChecked() ? avInfiniteExponential : avNone,
                              decay_combo->currentText().toInt());
}

void TMainForm::CheckSpectrumOnClick() {
  if (!CheckSpectrumOn->isChecked()) Series1Bars->clear();
}

void TMainForm::ButtonTestClick() {
  const TLiveSnapshot* L = FShown;
  const double Hz = L ? L->DominantHz : 0;
  Memo1->appendPlainText(QString("Dominant frequency %1 Hz, amplitude %2, filter %3")
                             .arg(RoundEven(Hz))
                             .arg(static_cast<double>(L ? L->MaxAmplitude : 0.0f), 0, 'f', 1)
                             .arg(CheckFilter->isChecked() ? "on" : "off"));
}

// ---------------------------------------------------------------------------
// Filter panel

void TMainForm::ComboFilterTypeChange() {
  switch (ComboFilterType->currentIndex()) {
    case 0: SelFilterType = ftLowPass; break;
    case 1: SelFilterType = ftBandPass; break;
    case 2: SelFilterType = ftHighPass; break;
    default: break;
  }
  FilterChanged = true;
}

void TMainForm::TrackBar1Change() {
  Label9->setText(QString("%1 Hz").arg(TrackBar1->value()));
  if (!FilterChanged) {
    FilterChanged = true;
    SelCenterFreq = TrackBar1->value();
  }
}

void TMainForm::TrackBandWidthChange() {
  Label7->setText(QString("%1 Hz").arg(TrackBandWidth->value()));
  FilterChanged = true;
}

void TMainForm::CheckFilterClick() {
  FLoop->SetFilterEnabled(CheckFilter->isChecked());
  TrackBandWidthChange();
  TrackBar1Change();
}

// ---------------------------------------------------------------------------
// Mixer

TMixerSettings* TMainForm::Mixer() const { return Audio1 ? Audio1->Mixer() : nullptr; }

QCheckBox* TMainForm::MixerBox(TMixerRow Row) const {
  QCheckBox* const Boxes[MixerRows] = {CheckBox7, CheckBox6, CheckBox4, CheckBox5, CheckBox2, CheckBox3};
  return Boxes[Row];
}

QSlider* TMainForm::MixerSlider(TMixerRow Row) const {
  QSlider* const Sliders[MixerRows] = {TrackBar7, TrackBar6, TrackBar4, TrackBar5, TrackBar2, TrackBar3};
  return Sliders[Row];
}

bool TMainForm::GetMixerDestSource(const std::string& DestName, const std::string& SourceName, int32_t& Dest,
                                   int32_t& Source) {
  Dest = -1;
  Source = -1;
  TMixerSettings* M = Mixer();
  if (!M) return false;
  int d = -1, s = -1;
  M->FindLine(DestName, SourceName, d, s);
  Dest = d;
  Source = s;
  return Dest >= 0 && Dest <= 0xFFFF && Source >= 0 && Source <= 0xFFFF;
}

void TMainForm::MyNewVol(uint16_t Dest, uint16_t Source, bool Mute, int32_t Position) {
  const auto v = static_cast<uint16_t>(std::clamp(RoundEven(Position * 655.35), 0, 0xFFFF));
  if (!Mixer() || !Mixer()->SetVolumeMute(Dest, Source, v, v, Mute)) ShowAudioError();
}

bool TMainForm::RowLine(TMixerRow Row, int32_t& Dest, int32_t& Source) {
  if (!FRowOnCapture[Row]) return GetMixerDestSource(RowNames[Row].Dest, RowNames[Row].Source, Dest, Source);
  // The recording destination's own line: source 0.
  GetMixerDestSource(RowNames[Row].Dest, "", Dest, Source);
  Source = 0;
  return Dest >= 0 && Dest <= 0xFFFF;
}

void TMainForm::MixerRowChange(TMixerRow Row) {
  int32_t Dest, Source;
  if (!RowLine(Row, Dest, Source)) {
    // A line the mixer does not have was named in the status bar at start-up
    // and its row disabled; setting the row from code sends nothing.
    if (FRowMissing[Row]) return;
    throw Exception(MissingLineText(Row));
  }
  MyNewVol(static_cast<uint16_t>(Dest), static_cast<uint16_t>(Source), !MixerBox(Row)->isChecked(),
           MixerSlider(Row)->value());
}

void TMainForm::CheckBox7Click() { MixerRowChange(rowMaster); }
void TMainForm::CheckBox6Click() { MixerRowChange(rowWave); }
void TMainForm::CheckBox4Click() { MixerRowChange(rowOutMic); }
void TMainForm::CheckBox5Click() { MixerRowChange(rowOutLine); }
void TMainForm::CheckBox2Click() { MixerRowChange(rowInMic); }
void TMainForm::CheckBox3Click() { MixerRowChange(rowInLine); }
void TMainForm::TrackBar7Change() { MixerRowChange(rowMaster); }
void TMainForm::TrackBar6Change() { MixerRowChange(rowWave); }
void TMainForm::TrackBar4Change() { MixerRowChange(rowOutMic); }
void TMainForm::TrackBar5Change() { MixerRowChange(rowOutLine); }
void TMainForm::TrackBar2Change() { MixerRowChange(rowInMic); }
void TMainForm::TrackBar3Change() { MixerRowChange(rowInLine); }

void TMainForm::Audio1MixerChange(TPersistent*, uint16_t Destination, uint16_t Source) {
  TMixerSettings* M = Mixer();
  if (!M) return;
  uint16_t Left = 0, Right = 0;
  bool Mute = false;
  uint8_t Flags = 0xFF;  // no line has all flags set: stays so when nothing is delivered
  M->GetVolumeMute(Destination, Source, Left, Right, Mute, Flags);
  if (Flags == 0xFF) return;
  // The read stops at a control the line lacks: a line without a volume
  // control delivers neither volume nor mute, one without a mute control no
  // mute (it then counts as on).
  bool HasVolume = false, HasMute = false;
  for (const TMixDetails& Node : M->Lines())
    if (Node.Destination == Destination && Node.Source == Source) {
      HasVolume = Node.VolumeID != NoControl;
      HasMute = Node.MuteID != NoControl;
      break;
    }
  for (TMixerRow Row : LoadOrder) {
    int32_t D, S;
    if (!RowLine(Row, D, S) || D != Destination || S != Source) continue;
    QSlider* Slider = MixerSlider(Row);
    QCheckBox* Box = MixerBox(Row);
    // The controls show what the mixer holds; writing it back would only
    // round another program's setting to the slider's steps, and between the
    // slider and the box it would put the old mute back for a moment.
    const QSignalBlocker SliderBlock(Slider), BoxBlock(Box);
    if (HasVolume) Slider->setValue(RoundEven(Left / 655.35));
    Slider->setEnabled(HasVolume);
    Box->setEnabled((Flags & mfNoMute) == 0);
    if (HasVolume || !HasMute) Box->setChecked(!Mute);
  }
}

void TMainForm::ButtonAutoSetAudioClick() {
  const struct {
    TMixerRow Row;
    bool On;
    int Position;
  } Rows[] = {{rowInMic, true, 70},  {rowInLine, true, 70},   {rowMaster, true, 70},
              {rowWave, true, 70},   {rowOutMic, false, 40},  {rowOutLine, false, 40}};
  for (const auto& R : Rows) {
    if (FRowMissing[R.Row]) continue;
    MixerBox(R.Row)->setChecked(R.On);
    MixerSlider(R.Row)->setValue(R.Position);
    MixerRowChange(R.Row);
  }
}

void TMainForm::DestSelChange() {
  SourceSel->clear();
  TMixerSettings* M = Mixer();
  if (!M || DestSel->currentIndex() < 0) return;
  const TStrings Names = M->SourceNames(static_cast<uint16_t>(DestSel->currentIndex()));
  for (const std::string& Name : Names) SourceSel->addItem(QString::fromStdString(Name));
  SourceSel->setCurrentIndex(Names.empty() ? -1 : 0);
}

void TMainForm::LoadMixerLists() {
  DestSel->clear();
  TMixerSettings* M = Mixer();
  if (M) {
    const TStrings Names = M->DestinationNames();
    for (const std::string& Name : Names) DestSel->addItem(QString::fromStdString(Name));
    DestSel->setCurrentIndex(Names.empty() ? -1 : 0);
  }
  DestSelChange();
}

void TMainForm::LoadMixerLines() {
  QStringList Missing, OnCapture;
  bool Any = false;
  // A mixer whose recording destination has no line of its own but the
  // capture level (a sound server's "Capture"): the input rows set that.
  std::string CaptureLine;
  {
    int32_t Dest = -1, Source = -1;
    GetMixerDestSource(RowNames[rowInMic].Dest, "", Dest, Source);
    if (Dest >= 0 && Dest <= 0xFFFF && Mixer()) {
      const TStrings Lines = Mixer()->SourceNames(static_cast<uint16_t>(Dest));
      if (Lines.size() == 1 && !Lines[0].empty()) CaptureLine = Lines[0];
    }
  }
  for (TMixerRow Row : LoadOrder) {
    int32_t Dest = -1, Source = -1;
    FRowOnCapture[Row] = false;
    FRowMissing[Row] = !GetMixerDestSource(RowNames[Row].Dest, RowNames[Row].Source, Dest, Source);
    if (FRowMissing[Row] && !CaptureLine.empty() && (Row == rowInMic || Row == rowInLine)) {
      FRowOnCapture[Row] = true;
      FRowMissing[Row] = !RowLine(Row, Dest, Source);
      if (!FRowMissing[Row]) OnCapture << RowNames[Row].Caption;
    }
    QString Tip;
    if (FRowMissing[Row])
      Tip = QString::fromStdString(MissingLineText(Row)) + ": nothing to set";
    else if (FRowOnCapture[Row])
      Tip = QString("The mixer has no \"%1\" input: this row sets the capture level \"%2\"")
                .arg(RowNames[Row].Source, QString::fromStdString(CaptureLine));
    MixerBox(Row)->setToolTip(Tip);
    MixerSlider(Row)->setToolTip(Tip);
    if (FRowMissing[Row]) {
      MixerBox(Row)->setEnabled(false);
      MixerSlider(Row)->setEnabled(false);
      Missing << RowNames[Row].Caption;
      continue;
    }
    Any = true;
    Audio1MixerChange(Mixer(), static_cast<uint16_t>(Dest), static_cast<uint16_t>(Source));
  }
  ButtonAutoSetAudio->setEnabled(Any);
  // Said once, here: a sound server's mixer has fewer lines than a sound card's.
  QStringList Notes;
  if (!Mixer() || !Mixer()->Opened())
    Notes << "No mixer: the volume controls are disabled";
  else if (!Missing.isEmpty())
    Notes << "Mixer lines not found: " + Missing.join(", ");
  if (!OnCapture.isEmpty())
    Notes << QString("%1 set the capture level \"%2\"")
                 .arg(OnCapture.join(" and "), QString::fromStdString(CaptureLine));
  if (!Notes.isEmpty()) sbar1Panels[2]->setText(Notes.join("; "));
}

bool TMainForm::ReadInputLevel(int32_t& Level) {
  Level = 0;
  TMixerSettings* M = Mixer();
  int32_t Left = 0, Right = 0;
  // The recording destination's own line.
  if (!M || !M->GetPeakLevel(1, 0, Left, Right)) return false;
  Level = Left;
  return true;
}

// ---------------------------------------------------------------------------
// Sound-system report and about box

void TMainForm::QueryClick() {
  if (FRecording) return;  // the button is disabled while recording
  const bool Described = ReportSoundSystem(Audio1, [this](const std::string& Text) {
    // The mixer listing separates its destinations with CR LF: one memo line each.
    QString Line = QString::fromStdString(Text);
    Line.replace("\r\n", "\n");
    Memo1->appendPlainText(Line);
  });
  // Why the devices in use could not be described.
  if (!Described) ShowAudioError();
}

// ---------------------------------------------------------------------------
// Device choice

void TMainForm::AddStatusNote(const QString& Text) {
  const QString Old = sbar1Panels[2]->text();
  sbar1Panels[2]->setText(Old.isEmpty() ? Text : Old + "; " + Text);
}

void TMainForm::RefreshDeviceList(bool Input) {
  QComboBox* Combo = Input ? ComboInputDevice : ComboOutputDevice;
  const QString InUse = QString::fromStdString(Input ? FInputInUse : FOutputInUse);
  const QSignalBlocker Block(Combo);
  Combo->clear();
  int Selected = -1;
  for (const TWaveDevice& D : WaveDevices(FSoundSystem, Input)) {
    const QString Name = QString::fromStdString(D.Name);
    QString Text = Name;
    if (!D.Description.empty()) Text += " - " + QString::fromStdString(D.Description);
    Combo->addItem(Text, Name);
    Combo->setItemData(Combo->count() - 1, Text, Qt::ToolTipRole);
    if (Name == InUse) Selected = Combo->count() - 1;
  }
  if (Selected < 0) {
    // The device in use is no longer listed (unplugged during a run).
    Combo->addItem(InUse + " (not available)", InUse);
    Selected = Combo->count() - 1;
  }
  Combo->setCurrentIndex(Selected);
}

void TMainForm::ShowDeviceChoice(bool Input) {
  QComboBox* Combo = Input ? ComboInputDevice : ComboOutputDevice;
  const int Index = Combo->findData(QString::fromStdString(Input ? FInputInUse : FOutputInUse));
  if (Index < 0) {
    RefreshDeviceList(Input);
    return;
  }
  const QSignalBlocker Block(Combo);
  Combo->setCurrentIndex(Index);
}

bool TMainForm::ChooseDevice(bool Input, const std::string& Name) {
  if (Name == (Input ? FInputInUse : FOutputInUse)) return true;  // the device in use again
  if (FRecording || Audio1->Recorder()->DeviceOpen() || Audio1->Player()->DeviceOpen()) {
    sbar1Panels[2]->setText("The devices cannot change during a run: release \"Sample\" first");
    return false;
  }
  TWaveDevice Device;
  if (!FindWaveDevice(FSoundSystem, Input, Name, Device)) {
    sbar1Panels[2]->setText(QString("The %1 device \"%2\" is not available any more")
                                .arg(Input ? "input" : "output", QString::fromStdString(Name)));
    return false;
  }
  const uint32_t In = Input ? Device.ID : Audio1->InputDeviceID();
  const uint32_t Out = Input ? Audio1->OutputDeviceID() : Device.ID;
  if (!Audio1->SetWaveDevices(In, Out)) {
    ShowAudioError();
    return false;
  }
  (Input ? FInputDevice : FOutputDevice) = Name;
  (Input ? FInputInUse : FOutputInUse) = Name;
  return true;
}

void TMainForm::ComboInputDeviceChange() {
  ChooseDevice(true, ComboInputDevice->currentData().toString().toStdString());
  ShowDeviceChoice(true);
}

void TMainForm::ComboOutputDeviceChange() {
  ChooseDevice(false, ComboOutputDevice->currentData().toString().toStdString());
  ShowDeviceChoice(false);
}

std::string TMainForm::RestoreDevices(const TIniText& Settings) {
  const std::string In = Settings.ReadString(Section, InputDeviceKey, "");
  const std::string Out = Settings.ReadString(Section, OutputDeviceKey, "");
  FDeviceKeysSaved = !In.empty() || !Out.empty();
  FInputDevice = In.empty() ? DefaultDeviceName : In;
  FOutputDevice = Out.empty() ? DefaultDeviceName : Out;
  // A saved device that is gone stays the choice (it is written back as it
  // was, for when it returns), while "default" is used.
  std::string Gone;
  TWaveDevice InDevice, OutDevice;
  if (!FindWaveDevice(FSoundSystem, true, FInputDevice, InDevice)) {
    InDevice = TWaveDevice{WAVE_MAPPER, DefaultDeviceName, ""};
    Gone = "input \"" + FInputDevice + "\"";
  }
  if (!FindWaveDevice(FSoundSystem, false, FOutputDevice, OutDevice)) {
    OutDevice = TWaveDevice{WAVE_MAPPER, DefaultDeviceName, ""};
    Gone += (Gone.empty() ? "" : ", ") + std::string("output \"") + FOutputDevice + "\"";
  }
  FInputInUse = InDevice.Name;
  FOutputInUse = OutDevice.Name;
  Audio1->SetWaveDevices(InDevice.ID, OutDevice.ID);
  RefreshDeviceList(true);
  RefreshDeviceList(false);
  if (Gone.empty()) return "";
  return "Saved device not found, using \"default\": " + Gone;
}

void TMainForm::About1Click() { ShowAboutBox(this); }

QList<QPointF> TMainForm::BarPoints() const {
  QList<QPointF> Result;
  const QList<QPointF> P = Series1Bars->points();
  for (qsizetype i = 0; i + 3 < P.size(); i += 4) {
    const double Width = P[i + 3].x() - P[i].x();
    Result.append(QPointF(P[i].x() + Width / 2, P[i + 1].y()));
  }
  return Result;
}

}  // namespace quellmarin
