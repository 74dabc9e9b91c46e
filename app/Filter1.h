#pragma once
// Unit Filter1: the main window. It records the sound card's input in blocks,
// runs each block through the processing engine (filtering it when "Filter
// enabled" is checked), plays the processed block straight back, and shows the
// band spectrum with the filter's response, a function plot of the dominant
// amplitude or frequency, and the dominant frequency in hertz.
//
// Threads
//   * Every handler of this class runs on the UI thread. The blocks never
//     pass through it: the live loop (app/LiveLoop.h) records, processes and
//     plays them on its own thread. The window starts and stops the loop,
//     hands it its parameters and new filter designs, and reads the snapshot
//     the loop publishes once per block.
//   * Timer1Timer (every 100 ms) also notices a run that ended by itself and
//     shows why.
//   * An exception that escapes a handler ends that handler and is shown in an
//     error box; it never ends the program.

#include <QMainWindow>
#include <QPointF>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/KiniFile.h"
#include "app/LiveLoop.h"
#include "app/ResponseMeter.h"
#include "app/Utils.h"
#include "audio/Audio.h"
#include "platform/Component.h"
#include "soundsystem/SoundSystem.h"

class QAction;
class QAreaSeries;
class QChart;
class QChartView;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineSeries;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QStatusBar;
class QTabWidget;
class QTimer;
class QValueAxis;

namespace quellmarin {

class TQtMessageQueue;
class TMixerSettings;
class THealthPanel;

// Globals of the unit (UI thread unless said otherwise).
extern TFFT* Engine;
// A block has been processed since the last refresh: set by the live loop,
// cleared by the refresh.
extern std::atomic<bool> NewBlock;
extern bool FilterChanged;
extern TFilterType SelFilterType;
extern int32_t SelCenterFreq;
extern TKustomIniFile* IniFile;
// Ring of the plot's moving averages: the small one uses slots 0 to 19, the
// medium one 0 to 34, the large one all 51.
extern float SmoothBuf[51];
extern int32_t SmoothIndex;

class TMainForm : public QMainWindow, public TComponent {
  Q_OBJECT
public:
  // Runs FormCreate. SoundSystem must outlive the window; SettingsFile is the
  // settings file's name.
  TMainForm(TSoundSystem& SoundSystem, std::string SettingsFile, QWidget* Parent = nullptr);
  // Stops the devices and runs FormDestroy.
  ~TMainForm() override;

  // Shows an error box with Text (modal). Tests replace it to record texts.
  static std::function<void(const QString& Text)> ErrorBoxHook;

  // ---- Lifecycle ----
  void FormCreate();
  bool FormCloseQuery();
  void FormClose();
  void FormDestroy();
  void Exit1Click();

  // ---- Record-filter-play cycle ----
  void SpeedButton1Click();
  void Audio1Played(TPersistent* Sender);
  // Ends a run that cannot go on: recording off, button up, output stopped.
  void EndRun();
  void ButtonStatus(const QString& Text);
  void CheckTriggerClick();
  void TrigLvlChange();

  // ---- Display refresh ----
  void Timer1Timer();
  // The pipeline health panel's refresh (its own 1 s timer).
  void RefreshHealth();
  void ComboSpectrumScaleChange();
  void TrackSpectrumMaxChange();
  void ButtonRefreshSpectrumScaleClick();
  // The plot's value axis is titled for the plot function chosen.
  void ComboPlotFunctionChange();
  void ComboPlotScaleChange();
  void TrackPlotMaxChange();
  void ButtonRefreshPlotScaleClick();
  void BottonClearPlotClick();
  void Button1Click();
  void CheckExpDecayClick();
  void decay_comboClick();
  void CheckSpectrumOnClick();
  void ButtonTestClick();

  // ---- Filter panel ----
  void ComboFilterTypeChange();
  void TrackBar1Change();
  void TrackBandWidthChange();
  void CheckFilterClick();

  // ---- Mixer panel ----
  // The six rows of the Audio page, in the order of their table; each finds
  // its mixer line by a destination and a source name fragment.
  enum TMixerRow { rowMaster = 0, rowWave, rowOutMic, rowOutLine, rowInMic, rowInLine, MixerRows };
  // Finds a mixer line by name fragments: Dest := the last destination whose
  // name contains DestName (case-sensitive), Source := the last of its lines
  // whose name contains SourceName, each -1 when nothing matches. True when
  // both were found.
  bool GetMixerDestSource(const std::string& DestName, const std::string& SourceName, int32_t& Dest,
                          int32_t& Source);
  // Writes a line: both channels at round(Position x 655.35), and the mute.
  // A failed write shows ErrorMessage in the status bar's third panel.
  void MyNewVol(uint16_t Dest, uint16_t Source, bool Mute, int32_t Position);
  void CheckBox7Click();
  void CheckBox6Click();
  void CheckBox4Click();
  void CheckBox5Click();
  void CheckBox2Click();
  void CheckBox3Click();
  void TrackBar7Change();
  void TrackBar6Change();
  void TrackBar4Change();
  void TrackBar5Change();
  void TrackBar2Change();
  void TrackBar3Change();
  // A line of the mixer changed (here or in another program): the rows on
  // that line show its volume and mute, without writing them back.
  void Audio1MixerChange(TPersistent* Sender, uint16_t Destination, uint16_t Source);
  // "Auto set audio": inputs, master and wave on at 70, output microphone
  // and line muted at 40.
  void ButtonAutoSetAudioClick();
  void DestSelChange();
  // The row's check box and slider.
  QCheckBox* MixerBox(TMixerRow Row) const;
  QSlider* MixerSlider(TMixerRow Row) const;
  // The row's line was not found at start-up: the row is disabled.
  bool MixerRowMissing(TMixerRow Row) const { return FRowMissing[Row]; }
  // An input row whose own line is missing drives the recording
  // destination's own line (a sound server's "Capture") instead.
  bool MixerRowOnCapture(TMixerRow Row) const { return FRowOnCapture[Row]; }

  // ---- Device choice (Audio page) ----
  // Fills a device list afresh from the sound system ("default" first) and
  // selects the device in use; runs whenever a list is about to open.
  void RefreshDeviceList(bool Input);
  // The user picked an entry of ComboInputDevice / ComboOutputDevice. While
  // stopped the choice is used from the next "Sample" on and kept in the
  // settings file; during a run it is refused and the list shows the device
  // in use again.
  void ComboInputDeviceChange();
  void ComboOutputDeviceChange();
  // The device names the settings file keeps ("default" unless chosen).
  const std::string& InputDeviceChoice() const { return FInputDevice; }
  const std::string& OutputDeviceChoice() const { return FOutputDevice; }

  // ---- Sound-system report and about box ----
  void QueryClick();
  void About1Click();

  // ---- For tests and the program ----
  TAudio* Audio1 = nullptr;
  TMessageQueue& Queue();
  // The band bars as drawn: (left end of the bar's band in Hz, peak), read
  // back from the chart's series.
  QList<QPointF> BarPoints() const;
  bool Recording() const { return FRecording; }
  TLiveLoop* Loop() const { return FLoop.get(); }
  // The snapshot the last refresh showed (nullptr before the first block).
  const TLiveSnapshot* Shown() const { return FShown; }
  // The automatic switch of the two amplitude axes.
  bool SpectrumAxisAutomatic() const { return FSpectrumAuto; }
  bool PlotAxisAutomatic() const { return FPlotAuto; }

  // ---- Controls ----
  QTabWidget* PageControl1 = nullptr;
  QAction* Exit1 = nullptr;
  QAction* About1 = nullptr;
  QStatusBar* sbar1 = nullptr;
  QLabel* sbar1Panels[3] = {};
  QTimer* Timer1 = nullptr;

  // Charts.
  QChart* Chart1 = nullptr;  // "Frequency spectrum"
  QChart* Chart2 = nullptr;  // "Function Plot"
  QChartView* Chart1View = nullptr;
  QChartView* Chart2View = nullptr;
  QAreaSeries* Series1 = nullptr;  // band bars, drawn from Series1Bars
  QLineSeries* Series1Bars = nullptr;
  QLineSeries* Series2 = nullptr;  // function plot
  QLineSeries* Series3 = nullptr;  // filter response
  QLineSeries* Series4 = nullptr;  // measured response (dB), on Chart1Response
  QValueAxis* Chart1Bottom = nullptr;
  QValueAxis* Chart1Left = nullptr;
  QValueAxis* Chart1Right = nullptr;
  QValueAxis* Chart1Response = nullptr;
  QValueAxis* Chart2Bottom = nullptr;
  QValueAxis* Chart2Left = nullptr;

  // Bottom panel.
  QPushButton* SpeedButton1 = nullptr;
  QLabel* Status = nullptr;
  QLabel* Label1 = nullptr;

  // Audio page.
  QGroupBox* GroupAudioOut = nullptr;
  QGroupBox* GroupAudioIn = nullptr;
  QCheckBox* CheckBox7 = nullptr;
  QCheckBox* CheckBox6 = nullptr;
  QCheckBox* CheckBox4 = nullptr;
  QCheckBox* CheckBox5 = nullptr;
  QCheckBox* CheckBox2 = nullptr;
  QCheckBox* CheckBox3 = nullptr;
  QSlider* TrackBar7 = nullptr;
  QSlider* TrackBar6 = nullptr;
  QSlider* TrackBar4 = nullptr;
  QSlider* TrackBar5 = nullptr;
  QSlider* TrackBar2 = nullptr;
  QSlider* TrackBar3 = nullptr;
  QPushButton* ButtonAutoSetAudio = nullptr;
  QGroupBox* GroupVolumeSettings = nullptr;  // never shown
  QComboBox* DestSel = nullptr;
  QComboBox* SourceSel = nullptr;
  QProgressBar* Gauge1 = nullptr;
  QComboBox* ComboInputDevice = nullptr;   // "Input device"
  QComboBox* ComboOutputDevice = nullptr;  // "Output device"
  QCheckBox* CheckTrigger = nullptr;
  QSlider* TrigLvl = nullptr;
  QLabel* Label4 = nullptr;
  THealthPanel* HealthPanel1 = nullptr;  // "Pipeline health", refreshed once a second

  // Filter page.
  QCheckBox* CheckFilter = nullptr;
  QComboBox* ComboFilterType = nullptr;
  QSlider* TrackBar1 = nullptr;
  QLabel* Label9 = nullptr;
  QSlider* TrackBandWidth = nullptr;
  QLabel* Label7 = nullptr;

  // Spectrum page.
  QCheckBox* CheckSpectrumOn = nullptr;
  QCheckBox* CheckExpDecay = nullptr;
  QComboBox* decay_combo = nullptr;
  QComboBox* ComboSpectrumScale = nullptr;
  QPushButton* ButtonRefreshSpectrumScale = nullptr;
  QSlider* TrackSpectrumMax = nullptr;
  QLabel* Label14 = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* BottonResetSpectrum = nullptr;

  // Plot page.
  QCheckBox* CheckPlotOn = nullptr;
  QComboBox* ComboPlotFunction = nullptr;
  QComboBox* ComboPlotSmoothing = nullptr;
  QComboBox* ComboPlotScale = nullptr;
  QPushButton* ButtonRefreshPlotScale = nullptr;
  QSlider* TrackPlotMax = nullptr;
  QLabel* Label12 = nullptr;
  QPushButton* BottonClearPlot = nullptr;
  QPushButton* ButtonTest = nullptr;
  QPushButton* Query = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  // The measured response's figures beside the design's.
  QLabel* LabelResponse = nullptr;
  const TResponseMeter& Meter() const { return FMeter; }

protected:
  void closeEvent(QCloseEvent* Event) override;

private:

  void BuildWindow();
  QWidget* BuildAudioPage();
  QWidget* BuildFilterPage();
  QWidget* BuildSpectrumPage();
  QWidget* BuildPlotPage();
  void BuildCharts();
  // Runs a handler; an exception it raises ends it and is shown in an error box.
  template <class F>
  void Safely(F&& Handler);
  void ShowException(const QString& Text);
  void ShowAudioError();
  // A run that ended by itself (the loop says why): the button comes up.
  void CheckRunEnded();
  // The status blink and the status bar's counters of the running loop.
  void ShowLoopState();
  // The response side's new design, handed to the live path.
  void PublishDesign();
  // The input level on the recording line, when the mixer can read it.
  bool ReadInputLevel(int32_t& Level);
  TMixerSettings* Mixer() const;
  void LoadMixerLists();
  void LoadMixerLines();
  // The line a row drives (its own, or the capture line it falls back to).
  bool RowLine(TMixerRow Row, int32_t& Dest, int32_t& Source);
  // Device choice: applies a chosen name (false: refused during a run).
  bool ChooseDevice(bool Input, const std::string& Name);
  // Restores the saved devices at start-up; the status text for the ones gone.
  std::string RestoreDevices(const TIniText& Settings);
  void ShowDeviceChoice(bool Input);
  // Adds a note to the status bar's third panel, after what it says already.
  void AddStatusNote(const QString& Text);
  // A check box or slider of a row changed: writes the row to its line.
  void MixerRowChange(TMixerRow Row);
  void ApplyAutomaticAxes();
  void SetPlotValue(float Y);
  // The measured response starts afresh for the design just published.
  void ResetResponseMeter();
  // Series4 and the read-outs from the meter.
  void ShowMeasuredResponse();

  TSoundSystem& FSoundSystem;
  std::string FSettingsFile;
  std::unique_ptr<TQtMessageQueue> FQueue;
  std::unique_ptr<TLiveLoop> FLoop;
  // The snapshot the window shows (owned by the loop, valid until the next
  // TakeSnapshot).
  const TLiveSnapshot* FShown = nullptr;
  uint64_t FBlinkedBlocks = 0;
  bool FRecording = false;
  bool FClosed = false;
  bool FSpectrumAuto = false;
  bool FPlotAuto = false;
  // The measured response, fed on the UI thread from the snapshots of blocks
  // numbered above FMeterFrom.
  TResponseMeter FMeter;
  uint64_t FMeterFrom = 0;
  float FPlotMaxY = 0.0f;
  float FPlotMinY = 0.0f;
  bool FPlotHasPoints = false;
  bool FRowMissing[MixerRows] = {};
  bool FRowOnCapture[MixerRows] = {};
  // The device names chosen (kept in the settings file), and the ones in use:
  // a saved device that is gone is kept as the choice while "default" is used.
  std::string FInputDevice = "default";
  std::string FOutputDevice = "default";
  std::string FInputInUse = "default";
  std::string FOutputInUse = "default";
  bool FDeviceKeysSaved = false;  // the settings file has the device keys
};

}  // namespace quellmarin
