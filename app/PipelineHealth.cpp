#include "app/PipelineHealth.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quellmarin {

namespace {

// Counts since the run started; a counter the sound system restarted (it
// never should) gives no negative figure.
uint64_t Since(uint32_t Now, uint32_t Start) { return Now >= Start ? Now - Start : Now; }

std::string Format(const char* Pattern, double A = 0, double B = 0, double C = 0) {
  char Text[160];
  std::snprintf(Text, sizeof(Text), Pattern, A, B, C);
  return Text;
}

double RecordedSeconds(const THealthSample& S) {
  return S.SampleRate > 0 ? static_cast<double>(S.Blocks + S.HeldBack) * S.BlockFrames / S.SampleRate : 0;
}

}  // namespace

THealthFigures ComputeHealth(const THealthSample& Now, const THealthSample* Previous, const THealthSample* Base) {
  THealthFigures F;
  F.HasRun = Now.RunStartNs != 0;
  F.Running = Now.Running;
  if (!F.HasRun) return F;

  if (Now.SampleRate > 0) {
    const double MsPerFrame = 1000.0 / Now.SampleRate;
    F.BlockMs = Now.BlockFrames * MsPerFrame;
    F.OutputMs = static_cast<double>(std::max<int64_t>(Now.Backlog, 0)) * MsPerFrame;
    F.CaptureKnown = Now.CaptureDelayKnown;
    F.CaptureMs = F.CaptureKnown ? static_cast<double>(std::max<int64_t>(Now.CaptureDelay, 0)) * MsPerFrame : 0;
    F.DelayMs = F.CaptureMs + F.BlockMs + F.OutputMs;

    F.RecordedSeconds = RecordedSeconds(Now);
    if (Base && Base->RunStartNs == Now.RunStartNs) {
      F.DriftSeconds = F.RecordedSeconds - RecordedSeconds(*Base);
      if (F.DriftSeconds >= MinDriftSeconds) {
        const int64_t Spliced = (Now.PaddedFrames - Base->PaddedFrames) - (Now.DroppedFrames - Base->DroppedFrames);
        F.DriftKnown = true;
        F.DriftPerMinute = static_cast<double>(Spliced) * 60.0 / F.DriftSeconds;
      }
    }
  }

  F.Overruns = Since(Now.Xruns.Overruns, Now.XrunsAtStart.Overruns);
  F.Underruns = Since(Now.Xruns.Underruns, Now.XrunsAtStart.Underruns) + Now.LoopUnderruns + Now.OutputRestarts;

  if (Now.Running) {
    const bool SameRun = Previous && Previous->RunStartNs == Now.RunStartNs && Previous->WallNs < Now.WallNs &&
                         Previous->BusyNs <= Now.BusyNs;
    const int64_t Wall = SameRun ? Now.WallNs - Previous->WallNs : Now.WallNs - Now.RunStartNs;
    const uint64_t Busy = SameRun ? Now.BusyNs - Previous->BusyNs : Now.BusyNs;
    if (Wall > 0) {
      F.CpuKnown = true;
      F.CpuPercent = 100.0 * static_cast<double>(Busy) / static_cast<double>(Wall);
    }
  }
  return F;
}

THealthFigures THealthMonitor::Update(const THealthSample& Now) {
  if (Now.RunStartNs != FRun) {
    // A new run (or none): nothing of the last one counts.
    FRun = Now.RunStartNs;
    FHasPrevious = false;
    FHasBase = false;
    FXruns = 0;
    FSettledFrom = 0;
  }
  // An xrun primes the output again and the splices that follow catch up
  // with it: the drift is measured afresh once the output has settled.
  const THealthFigures Counts = ComputeHealth(Now, nullptr, nullptr);
  const uint64_t Xruns = Counts.Overruns + Counts.Underruns;
  if (Xruns != FXruns) {
    FXruns = Xruns;
    FSettledFrom = Counts.RecordedSeconds;
    FHasBase = false;
  }
  if (!FHasBase && Now.RunStartNs != 0 && Counts.RecordedSeconds - FSettledFrom >= SettleSeconds) {
    FBase = Now;
    FHasBase = true;
  }
  THealthFigures F = ComputeHealth(Now, FHasPrevious ? &FPrevious : nullptr, FHasBase ? &FBase : nullptr);
  F.DriftAfterXrun = !F.DriftKnown && FSettledFrom > 0;
  FPrevious = Now;
  FHasPrevious = true;
  return F;
}

THealthText HealthText(const THealthFigures& F) {
  THealthText T;
  if (!F.HasRun) {
    T.Delay = "Input\u2192output delay: no run yet";
    T.Xruns = "Overruns: \u2013, underruns: \u2013";
    T.Cpu = "Audio path CPU: \u2013";
    T.Drift = "Clock drift: \u2013";
    return T;
  }
  if (F.CaptureKnown) {
    T.Delay = Format("Input\u2192output delay: %.0f ms", F.DelayMs);
    T.DelayParts = Format("in %.0f + block %.0f + out %.0f ms", F.CaptureMs, F.BlockMs, F.OutputMs);
  } else {
    // The capture device's own share is not known: what is known is a
    // lower bound.
    T.Delay = Format("Input\u2192output delay: \u2265 %.0f ms", F.DelayMs);
    T.DelayParts = Format("in unknown + block %.0f + out %.0f ms", F.BlockMs, F.OutputMs);
  }
  T.Xruns = Format("Overruns: %.0f, underruns: %.0f", static_cast<double>(F.Overruns),
                   static_cast<double>(F.Underruns));
  T.Cpu = F.CpuKnown ? Format("Audio path CPU: %.1f %%", F.CpuPercent) : "Audio path CPU: \u2013";
  if (!F.DriftKnown) {
    if (!F.Running)
      T.Drift = "Clock drift: \u2013";
    else
      T.Drift = F.DriftAfterXrun ? "Clock drift: settling after an xrun" : "Clock drift: measuring\u2026";
  } else {
    // Tenths of a sample per minute; below that the clocks agree. The line
    // is short for the narrow page: + is the faster output clock.
    const double Shown = std::round(F.DriftPerMinute * 10) / 10;
    T.Drift = Shown == 0 ? "Clock drift: 0.0 samples/min" : Format("Clock drift: %+.1f samples/min", Shown);
  }
  return T;
}

}  // namespace quellmarin
