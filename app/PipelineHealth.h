#pragma once
// The health of the live audio path, as the Audio page's panel shows it: the
// input-to-output delay the program knows of, the overruns and underruns of
// the run, the share of a CPU the loop's thread uses, and the drift between
// the capture and the playback clock. Computed from the live loop's and the
// sound system's counters, read once a second; no Qt here, so that the
// figures can be checked from known counters.

#include <cstdint>
#include <string>

#include "soundsystem/SoundSystem.h"

namespace quellmarin {

// The counters as read at one moment (UI thread).
struct THealthSample {
  int64_t WallNs = 0;      // steady clock when read, nanoseconds
  int64_t RunStartNs = 0;  // the run's start on the same clock; 0: no run yet
  bool Running = false;
  uint64_t Blocks = 0;    // blocks processed
  uint64_t HeldBack = 0;  // blocks held back by the trigger (recorded too)
  uint64_t LoopUnderruns = 0;   // the output ran dry before a block came
  uint64_t OutputRestarts = 0;  // the output failed and was reopened
  int64_t DroppedFrames = 0;    // spliced out: the output clock is the slower one
  int64_t PaddedFrames = 0;     // spliced in: the output clock is the faster one
  int64_t Backlog = 0;          // output frames not yet played before a block
  uint64_t BusyNs = 0;          // the loop thread's CPU time on blocks
  TXrunCounts Xruns;            // the sound system's, since it was created
  TXrunCounts XrunsAtStart;     // the same when the run started
  bool CaptureDelayKnown = false;
  int64_t CaptureDelay = 0;  // frames
  int32_t BlockFrames = 0;   // frames per recorded block
  int32_t SampleRate = 0;    // frames per second
};

struct THealthFigures {
  bool HasRun = false;   // a run has started since the program did
  bool Running = false;
  // Input-to-output delay of a block's first sample, in milliseconds: the
  // capture device's delay (when known), the block it waits for to fill, and
  // the output's backlog (the loop's reserve and what the output device
  // still holds). DelayMs adds up the parts that are known.
  bool CaptureKnown = false;
  double CaptureMs = 0;
  double BlockMs = 0;
  double OutputMs = 0;
  double DelayMs = 0;
  // Since the run started: overruns are the sound system's (input lost), and
  // underruns its own plus the loop's dry outputs and output restarts.
  uint64_t Overruns = 0;
  uint64_t Underruns = 0;
  // CPU time of the loop's thread per wall second, in percent of one core:
  // over the last interval, or since the run started when there is no
  // earlier reading of the same run. Known only while running.
  bool CpuKnown = false;
  double CpuPercent = 0;
  // Frames the loop spliced in minus those it spliced out since the drift
  // base, per minute of recorded sound (the capture clock's time): positive
  // when the output clock is the faster one. Known once the base lies
  // MinDriftSeconds of recording back.
  bool DriftKnown = false;
  double DriftPerMinute = 0;
  // Not known because an overrun or underrun restarted the measurement.
  bool DriftAfterXrun = false;
  double DriftSeconds = 0;     // recorded time the drift is measured over
  double RecordedSeconds = 0;  // recorded time of the run
};

// Recorded time after the start of a run, and after an overrun or underrun,
// before the drift base is taken: the output settles then (the sound
// server's buffer fills, the output is primed again), and the splices that
// follow are not clock drift.
constexpr double SettleSeconds = 10.0;
// Recorded time from the base before the drift is given: one splice over a
// short time would read as a large drift.
constexpr double MinDriftSeconds = 20.0;

// Previous: the reading a second before; Base: the drift base (nullptr when
// there is none, or of another run).
THealthFigures ComputeHealth(const THealthSample& Now, const THealthSample* Previous, const THealthSample* Base);

// Keeps the readings the figures are computed against: the previous one and
// the drift base, which it takes SettleSeconds after the start of a run and
// again after every overrun or underrun.
class THealthMonitor {
public:
  THealthFigures Update(const THealthSample& Now);

private:
  bool FHasPrevious = false;
  THealthSample FPrevious;
  bool FHasBase = false;
  THealthSample FBase;
  int64_t FRun = 0;           // RunStartNs of the run watched
  uint64_t FXruns = 0;        // overruns and underruns of the run at the last look
  double FSettledFrom = 0;    // recorded seconds of the latest xrun (0: the start)
};

// The panel's lines.
struct THealthText {
  std::string Delay;       // "Input→output delay: 246 ms"
  std::string DelayParts;  // "in 12 + block 100 + out 134 ms"
  std::string Xruns;       // "Overruns: 0, underruns: 2"
  std::string Cpu;         // "Audio path CPU: 1.3 %"
  std::string Drift;       // "Clock drift: +12.0 samples/min"
};
THealthText HealthText(const THealthFigures& Figures);

}  // namespace quellmarin
