#include "app/HealthPanel.h"

#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>

#include "app/LiveLoop.h"
#include "audio/Recorder.h"

namespace quellmarin {

THealthPanel::THealthPanel(QWidget* Parent) : QGroupBox(" Pipeline health ", Parent) {
  auto* Layout = new QVBoxLayout(this);
  Layout->setSpacing(2);
  auto Line = [&] {
    auto* Label = new QLabel(this);
    Layout->addWidget(Label);
    return Label;
  };
  LabelDelay = Line();
  LabelDelayParts = Line();
  LabelXruns = Line();
  LabelCpu = Line();
  LabelDrift = Line();
  const QString DelayTip = "From a block's first sample recorded to its playing: the capture device's delay (in), "
                          "the block of 100 ms it waits in, and the output's backlog (out: the reserve and what the "
                          "output device still holds)";
  LabelDelay->setToolTip(DelayTip);
  LabelDelayParts->setToolTip(DelayTip);
  LabelXruns->setToolTip("Since the run started. Overruns: input the sound system lost. Underruns: the sound "
                         "system's, the output running dry and output restarts");
  LabelCpu->setToolTip("CPU time of the audio path's thread per second, in percent of one core");
  LabelDrift->setToolTip("Samples the audio path added to or cut from the output to keep the playback clock with "
                         "the capture clock, per minute of recording: + the output clock is the faster one, "
                         "\u2212 the slower one. After an overrun or underrun it is measured afresh once the "
                         "output has settled");
  Timer = new QTimer(this);
  Timer->setInterval(1000);
  Show();
}

void THealthPanel::Show() {
  const THealthText Text = HealthText(FFigures);
  LabelDelay->setText(QString::fromStdString(Text.Delay));
  LabelDelayParts->setText(QString::fromStdString(Text.DelayParts));
  LabelXruns->setText(QString::fromStdString(Text.Xruns));
  LabelCpu->setText(QString::fromStdString(Text.Cpu));
  LabelDrift->setText(QString::fromStdString(Text.Drift));
}

void THealthPanel::Refresh(const TLiveLoop* Loop, TSoundSystem& SoundSystem, const TRecorder* Recorder) {
  THealthSample Now;
  Now.WallNs =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  if (Loop && Recorder) {
    Now.RunStartNs = Loop->StartedAt();
    Now.Running = Loop->State() == TLiveLoop::rsRunning;
    Now.Blocks = Loop->Blocks();
    Now.HeldBack = Loop->HeldBack();
    Now.LoopUnderruns = Loop->Underruns();
    Now.OutputRestarts = Loop->OutputRestarts();
    Now.DroppedFrames = Loop->DroppedFrames();
    Now.PaddedFrames = Loop->PaddedFrames();
    Now.Backlog = Loop->Backlog();
    Now.BusyNs = Loop->BusyNanoseconds();
    Now.Xruns = SoundSystem.XrunCounts();
    Now.XrunsAtStart = Loop->XrunsAtStart();
    if (Now.Running && Recorder->Handle() != 0)
      Now.CaptureDelayKnown = SoundSystem.CaptureDelay(Recorder->Handle(), Now.CaptureDelay);
    Now.BlockFrames = Recorder->NoSamples();
    Now.SampleRate = Recorder->SampleRate();
  }
  FFigures = FMonitor.Update(Now);
  Show();
}

}  // namespace quellmarin
