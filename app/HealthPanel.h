#pragma once
// The Audio page's "Pipeline health" box: the live path's delay, overruns
// and underruns, CPU share and clock drift (see app/PipelineHealth.h), shown
// as text and refreshed once a second by its own timer. The window starts
// the timer and hands Refresh the loop, the sound system and the recorder of
// the moment. UI thread only.

#include <QGroupBox>

#include "app/PipelineHealth.h"

class QLabel;
class QTimer;

namespace quellmarin {

class TLiveLoop;
class TRecorder;
class TSoundSystem;

class THealthPanel : public QGroupBox {
  Q_OBJECT

public:
  explicit THealthPanel(QWidget* Parent = nullptr);

  // Reads the counters and shows the figures. Loop and Recorder may be
  // nullptr (no run can be shown then).
  void Refresh(const TLiveLoop* Loop, TSoundSystem& SoundSystem, const TRecorder* Recorder);
  // The figures the last refresh showed.
  const THealthFigures& Figures() const { return FFigures; }

  QTimer* Timer = nullptr;  // 1 s; its timeout is the window's to connect
  QLabel* LabelDelay = nullptr;
  QLabel* LabelDelayParts = nullptr;
  QLabel* LabelXruns = nullptr;
  QLabel* LabelCpu = nullptr;
  QLabel* LabelDrift = nullptr;

private:
  void Show();

  THealthMonitor FMonitor;
  THealthFigures FFigures;
};

}  // namespace quellmarin
