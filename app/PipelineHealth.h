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
  // Frames the loop spliced in minus those it spliced out, per minute of
  // recorded sound (the capture clock's run time): positive when the output
  // clock is the faster one. Known after MinDriftSeconds of recording.
  bool DriftKnown = false;
  double DriftPerMinute = 0;
  double RecordedSeconds = 0;
};

// Seconds of recording before the drift is given: a single splice early in
// a run would read as a large drift.
constexpr double MinDriftSeconds = 10.0;

// Previous: the reading a second before (nullptr when there is none).
THealthFigures ComputeHealth(const THealthSample& Now, const THealthSample* Previous);

// The panel's lines.
struct THealthText {
  std::string Delay;       // "Input→output delay: 246 ms"
  std::string DelayParts;  // "capture 12 + block 100 + output 134 ms"
  std::string Xruns;       // "Overruns: 0, underruns: 2"
  std::string Cpu;         // "Audio path CPU: 1.3 %"
  std::string Drift;       // "Clock drift: +12.0 samples/min (output faster)"
};
THealthText HealthText(const THealthFigures& Figures);

}  // namespace quellmarin
