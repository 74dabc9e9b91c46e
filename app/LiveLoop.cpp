#include "app/LiveLoop.h"

#include "analysis/Dsp.h"
#include "app/ToneFrequency.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <pthread.h>
#include <sched.h>

namespace quellmarin {

namespace {

// Blocks over which the smallest output reserve is watched before the reserve
// is corrected: one second.
constexpr int32_t WatchBlocks = 10;
// A reserve this much above the goal is too much delay: the excess is dropped.
constexpr int32_t ExcessFrames = 400;  // 20 ms
// Most frames one block gives up or gains.
constexpr int32_t MaxCorrection = 800;
// Blocks between attempts to reopen an output that could not be opened.
constexpr int32_t ReopenBlocks = 10;

uint64_t ThreadNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void CopyText(char* Target, size_t Size, const char* A, const char* B = "") {
  std::snprintf(Target, Size, "%s%s", A, B);
}

}  // namespace

// The recorder's hand-back sink: callback thread, puts the buffer on the ring.
class TLiveLoop::TSink final : public TRecordSink {
public:
  explicit TSink(TLiveLoop& Loop) : FLoop(Loop) {}
  void BufferReturned(char* LP, char* RP, uint32_t Bytes) override { FLoop.Push(TItem{LP, RP, Bytes}); }

private:
  TLiveLoop& FLoop;
};

TLiveLoop::TLiveLoop(TAudio& Audio, TFFT& Engine)
    : FAudio(Audio), FEngine(Engine), FSink(std::make_unique<TSink>(*this)),
      FSnapshots(std::make_unique<TLiveSnapshot[]>(3)) {}

TLiveLoop::~TLiveLoop() { Stop(); }

void TLiveLoop::Push(const TItem& Item) {
  // The recorder holds 20 buffers and the ring has room for 32: it never
  // overflows, since a buffer comes back only after it was handed back.
  const uint64_t n = FPushed.load(std::memory_order_relaxed);
  FRing[n % RingSize] = Item;
  FPushed.store(n + 1, std::memory_order_release);
  Wake();
}

void TLiveLoop::Wake() {
  FSignal.fetch_add(1, std::memory_order_release);
  FSignal.notify_one();
}

bool TLiveLoop::Pop(TItem& Item) {
  const uint64_t n = FPopped.load(std::memory_order_relaxed);
  if (n == FPushed.load(std::memory_order_acquire)) return false;
  Item = FRing[n % RingSize];
  FPopped.store(n + 1, std::memory_order_release);
  return true;
}

void TLiveLoop::SetSpectrumAveraging(TAveraging Averaging, int32_t Decay) {
  const uint32_t value = (1u << 31) | (static_cast<uint32_t>(Averaging) & 0xFF) << 16 |
                         (static_cast<uint32_t>(std::clamp(Decay, 0, 0xFFFF)));
  if (!FThread.joinable() && FEngine.FLiveFFT) {
    // No run: the live side is the caller's (the UI thread's) now.
    FEngine.FLiveFFT->SetExponentialDecay(Decay);
    FEngine.FLiveFFT->SetAveraging(Averaging);
    return;
  }
  FSpectrumSettings.store(value, std::memory_order_release);
}

bool TLiveLoop::Start() {
  Stop();
  TRecorder& recorder = *FAudio.Recorder();
  if (recorder.BitsPerSample() != _16 || recorder.Channels() != Mono) {
    FAudio.SetErrorMessage("The live loop records 16-bit mono blocks only");
    return false;
  }
  FBlocks = 0;
  FHeldBack = 0;
  FHandled = 0;
  FDropped = 0;
  FPadded = 0;
  FUnderruns = 0;
  FRestarts = 0;
  FBacklog = 0;
  FBusyNs = 0;
  FStartedAt = std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
                   .count();
  FXrunsAtStart = FAudio.SoundSystem().XrunCounts();
  FEndReason[0] = 0;
  FOutputError[0] = 0;
  FPrimed = false;
  FReserveNow = FReserve;
  FReserveInUse = FReserve;
  FWindowMin = 0;
  FWindowBlocks = 0;
  FBlocksSinceOutputFailure = 0;
  FInputFailed = false;
  FDominantHz = 0.0f;
  FQuit = false;
  FPushed = 0;
  FPopped = 0;
  FStage.Restart();
  FStage.CollectRetired();

  const TPlayer& player = *FAudio.Player();
  FOutput = std::make_unique<TLiveOutput>(FAudio.SoundSystem(), FAudio.OutputDeviceID(), *player.WaveFormat());
  if (FOutput->Open() != MMSYSERR_NOERROR)
    CopyText(FOutputError, sizeof(FOutputError), FOutput->ErrorText().c_str());

  FState = rsRunning;
  recorder.SetSink(FSink.get());
  FThread = std::thread([this] { Run(); });
  if (!recorder.Start()) {
    FQuit = true;
    Wake();
    FThread.join();
    recorder.SetSink(nullptr);
    FOutput->Close();
    FState = rsIdle;
    return false;
  }
  return true;
}

void TLiveLoop::Stop() {
  TRecorder& recorder = *FAudio.Recorder();
  if (FThread.joinable()) {
    FQuit.store(true, std::memory_order_release);
    Wake();
    FThread.join();
  }
  if (recorder.Sink() == FSink.get()) {
    if (recorder.DeviceOpen()) recorder.Stop();
    recorder.SetSink(nullptr);
  }
  if (FOutput) FOutput->Close();
  // Buffers the device returned after the thread ended are not used again.
  FPopped.store(FPushed.load(std::memory_order_acquire));
  FStage.CollectRetired();
  FState = rsIdle;
}

std::string TLiveLoop::EndReason() const { return FEndReason; }
std::string TLiveLoop::OutputError() const { return FOutputError; }

void TLiveLoop::End(const char* Reason, bool Overrides) {
  if (FState.load(std::memory_order_relaxed) == rsEnded && !Overrides) return;
  CopyText(FEndReason, sizeof(FEndReason), Reason);
  FState.store(rsEnded, std::memory_order_release);
}

void TLiveLoop::Run() {
  // Audio comes first: ask for a real-time slot where the system grants one
  // (root, an rtprio limit); otherwise the thread runs as any other.
  sched_param param{};
  param.sched_priority = 10;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  // The spectrum's transform plan, built before the first block.
  if (FEngine.FLivePoint) PrepareTransforms(std::max(1, FEngine.FLivePoint->Length() / 2));
  for (;;) {
    const uint32_t seen = FSignal.load(std::memory_order_acquire);
    TItem item;
    while (!FQuit.load(std::memory_order_acquire) && Pop(item)) {
      HandleBuffer(item);
      FHandled.fetch_add(1, std::memory_order_acq_rel);
    }
    if (FQuit.load(std::memory_order_acquire)) return;
    FSignal.wait(seen, std::memory_order_acquire);
  }
}

void TLiveLoop::HandleBuffer(const TItem& Item) {
  const uint64_t started = ThreadNanoseconds();
  TRecorder& recorder = *FAudio.Recorder();
  if (Item.Bytes == 0) {
    // The device has stopped delivering: this run is over. This reason wins
    // over a hand-back that failed just before (the same vanished device).
    const bool overrides = FInputFailed;
    End("Recording ended: the input device delivered no more sound", overrides);
    return;
  }
  if (FState.load(std::memory_order_relaxed) == rsEnded) return;

  const int32_t frames = static_cast<int32_t>(std::min<uint32_t>(Item.Bytes / 2, TFFT::MaxBlockSamples));
  auto* samples = reinterpret_cast<int16_t*>(Item.LP);
  // The trigger test: free-running while the trigger is off (Triggered true).
  if (recorder.CheckTrigger(Item.LP, Item.Bytes)) {
    Process(samples, frames);
    WriteOutput(samples, frames);
    Publish(FInputCopy, samples, frames);
    if (OnBlock) OnBlock(FInputCopy, samples, frames);
    FBlocks.fetch_add(1, std::memory_order_relaxed);
    if (FTriggerOn.load(std::memory_order_relaxed)) {
      // Re-arm: in trigger mode every block must itself reach the level.
      // Trigger mode may have been switched off meanwhile: then the
      // recorder must be left free-running.
      recorder.SetTriggered(false);
      if (!FTriggerOn.load(std::memory_order_relaxed)) recorder.SetTriggered(true);
    }
    if (FNewBlock) FNewBlock->store(true, std::memory_order_release);
  } else {
    // Held back by the trigger: the output keeps its clock with silence.
    FHeldBack.fetch_add(1, std::memory_order_relaxed);
    std::memset(FSpliced, 0, sizeof(int16_t) * static_cast<size_t>(frames));
    WriteOutput(FSpliced, frames);
  }

  const MMRESULT r = recorder.RequeueBuffer();
  if (r != MMSYSERR_NOERROR) {
    char text[MAXERRORLENGTH] = {};
    FAudio.SoundSystem().waveInGetErrorTextA(r, text, sizeof(text));
    char reason[MAXERRORLENGTH + 64];
    CopyText(reason, sizeof(reason), "Error adding input buffer: ", text);
    FInputFailed = true;
    End(reason);
  }
  FBusyNs.fetch_add(ThreadNanoseconds() - started, std::memory_order_relaxed);
}

void TLiveLoop::Process(int16_t* Samples, int32_t Frames) {
  const uint32_t settings = FSpectrumSettings.load(std::memory_order_acquire);
  if (settings & (1u << 31)) {
    FSpectrumSettings.fetch_and(~(1u << 31), std::memory_order_acq_rel);
    FEngine.FLiveFFT->SetExponentialDecay(static_cast<int32_t>(settings & 0xFFFF));
    FEngine.FLiveFFT->SetAveraging(static_cast<TAveraging>((settings >> 16) & 0xFF));
  }
  if (FEqualize.exchange(false, std::memory_order_relaxed)) FEngine.FEqualizeRequest = true;
  std::memcpy(FInputCopy, Samples, sizeof(int16_t) * static_cast<size_t>(Frames));
  FEngine.ProcessBlock(Samples, Frames, &FStage);
  FEngine.FindDominant();
}

void TLiveLoop::ProcessBlockNow(int16_t* Samples, int32_t Count) {
  if (FThread.joinable()) return;
  const int32_t frames = std::clamp(Count, 0, TFFT::MaxBlockSamples);
  Process(Samples, frames);
  Publish(FInputCopy, Samples, frames);
  FBlocks.fetch_add(1, std::memory_order_relaxed);
  if (FNewBlock) FNewBlock->store(true, std::memory_order_release);
}

bool TLiveLoop::ReopenOutput() {
  FOutput->Close();
  if (FOutput->Open() != MMSYSERR_NOERROR) {
    CopyText(FOutputError, sizeof(FOutputError), FOutput->ErrorText().c_str());
    return false;
  }
  FPrimed = false;
  return true;
}

void TLiveLoop::WriteOutput(const int16_t* Block, int32_t Frames) {
  if (!FOutput->IsOpen()) {
    // An output that could not be opened at the start is tried again now and
    // then; the run goes on meanwhile (display and recording).
    if (++FBlocksSinceOutputFailure < ReopenBlocks) return;
    FBlocksSinceOutputFailure = 0;
    if (!ReopenOutput()) return;
    FRestarts.fetch_add(1, std::memory_order_relaxed);
  }
  const int64_t backlog = FOutput->Backlog();
  FBacklog.store(backlog, std::memory_order_relaxed);
  int32_t delta = 0;
  if (!FPrimed || backlog == 0) {
    if (FPrimed) {
      // The output ran dry: this device (or this machine's load) needs more
      // in reserve. Each dry run adds 10 ms, up to MaxReserve.
      FUnderruns.fetch_add(1, std::memory_order_relaxed);
      FReserveNow = std::min(FReserveNow + ReserveStep, std::max(FReserve, MaxReserve));
      FReserveInUse.store(FReserveNow, std::memory_order_relaxed);
    }
    FPrimed = true;
    FWindowBlocks = 0;
    if (FReserveNow > 0 && FOutput->WriteSilence(FReserveNow) != MMSYSERR_NOERROR) FPrimed = false;
  } else {
    FWindowMin = FWindowBlocks == 0 ? backlog : std::min(FWindowMin, backlog);
    const int32_t limit = std::min(MaxCorrection, Frames / 2 - 2 * SpliceFade);
    if (backlog <= FOutput->ChunkFrames()) {
      // About to run dry (the output's clock is the faster one, or a block
      // came late): stretch this block at once.
      delta = std::min(FReserveNow / 2, limit);
      FWindowBlocks = 0;
    } else if (++FWindowBlocks >= WatchBlocks) {
      // Over a second the reserve never fell to its goal: the output's clock
      // is the slower one, and the excess is delay. Give it up.
      FWindowBlocks = 0;
      if (FWindowMin > FReserveNow + ExcessFrames)
        delta = -static_cast<int32_t>(std::min<int64_t>(FWindowMin - FReserveNow, limit));
    }
  }
  const int16_t* data = Block;
  int32_t count = Frames;
  if (delta != 0 && Frames >= 4 * SpliceFade + 2 * std::abs(delta)) {
    count = Splice(Block, Frames, delta, FSpliced);
    data = FSpliced;
    if (delta < 0)
      FDropped.fetch_add(-delta, std::memory_order_relaxed);
    else
      FPadded.fetch_add(delta, std::memory_order_relaxed);
  }
  MMRESULT r = FOutput->Write(data, count);
  if (r != MMSYSERR_NOERROR) {
    // The output failed: reopen it at once; a run whose output cannot be
    // reopened ends with the reason.
    const std::string first = FOutput->ErrorText();
    if (ReopenOutput()) {
      FRestarts.fetch_add(1, std::memory_order_relaxed);
      FPrimed = true;
      if (FReserveNow > 0) FOutput->WriteSilence(FReserveNow);
      r = FOutput->Write(data, count);
    }
    if (r != MMSYSERR_NOERROR || !FOutput->IsOpen()) {
      CopyText(FOutputError, sizeof(FOutputError), first.c_str());
      End(FOutputError);
    }
  }
}

int32_t TLiveLoop::Splice(const int16_t* In, int32_t Count, int32_t Delta, int16_t* Out) {
  const int32_t join = Count / 4;
  const int32_t k = std::abs(Delta);
  auto fade = [](int16_t A, int16_t B, int32_t j) {
    const float w = (j + 0.5f) / SpliceFade;
    return static_cast<int16_t>(std::lrint(A * (1.0f - w) + B * w));
  };
  if (Delta < 0) {
    // Out: In[0, join), a fade from In[join ...] to In[join + k ...], then
    // In[join + k + SpliceFade, Count).
    std::memcpy(Out, In, sizeof(int16_t) * static_cast<size_t>(join));
    for (int32_t j = 0; j < SpliceFade; ++j) Out[join + j] = fade(In[join + j], In[join + k + j], j);
    std::memcpy(Out + join + SpliceFade, In + join + k + SpliceFade,
                sizeof(int16_t) * static_cast<size_t>(Count - join - k - SpliceFade));
    return Count - k;
  }
  // Out: In[0, join + k), a fade from In[join + k ...] back to In[join ...],
  // then In[join + SpliceFade, Count): the stretch In[join, join + k) plays twice.
  std::memcpy(Out, In, sizeof(int16_t) * static_cast<size_t>(join + k));
  for (int32_t j = 0; j < SpliceFade; ++j) Out[join + k + j] = fade(In[join + k + j], In[join + j], j);
  std::memcpy(Out + join + k + SpliceFade, In + join + SpliceFade,
              sizeof(int16_t) * static_cast<size_t>(Count - join - SpliceFade));
  return Count + k;
}

void TLiveLoop::Publish(const int16_t* Input, const int16_t* Output, int32_t Frames) {
  TLiveSnapshot& s = FSnapshots[static_cast<size_t>(FBack)];
  s.Block = FBlocks.load(std::memory_order_relaxed) + 1;
  s.BandCount = FEngine.FBandCount;
  std::copy_n(FEngine.FBandPeak, TFFT::MaxBands, s.BandPeak);
  std::copy_n(FEngine.FBandFreq, TFFT::MaxBands, s.BandFreq);
  s.MaxAmplitude = FEngine.FMaxAmplitude;
  s.MaxBand = FEngine.FMaxBand;
  s.DominantBin = FEngine.FDominantBin;
  const float* signal = FEngine.FLivePoint->TimeSignal->Data;
  float peak = 0.0f;
  for (int32_t i = 0; i < Frames; ++i) peak = std::max(peak, std::fabs(signal[i]));
  s.BlockPeak = peak;
  const TSpectrum* spectrum = FEngine.FLivePoint->Spectrum;
  s.SpectrumLength = std::min(spectrum->Length, TFFT::MaxSpectrumBins);
  if (FEngine.FMaxAmplitude > 0 && spectrum->Length > 0) {
    // The peak bin's frequency, refined on the block itself within one bin.
    const double binHz = static_cast<double>(spectrum->HighFrequency) / spectrum->Length;
    const double coarse = FEngine.FDominantBin * binHz + spectrum->LowFrequency;
    FDominantHz = static_cast<float>(
        ToneFrequency(signal, Frames, FEngine.FLivePoint->TimeSignal->SamplingRate, coarse, binHz));
  }
  s.DominantHz = FDominantHz;
  s.LowFrequency = spectrum->LowFrequency;
  s.HighFrequency = spectrum->HighFrequency;
  std::copy_n(spectrum->Amplitude, s.SpectrumLength, s.Spectrum);
  s.Samples = Frames;
  std::copy_n(Input, Frames, s.Input);
  std::copy_n(Output, Frames, s.Output);
  FBack = FMiddle.exchange(FBack | FreshBit, std::memory_order_acq_rel) & 3;
}

const TLiveSnapshot* TLiveLoop::TakeSnapshot() {
  if ((FMiddle.load(std::memory_order_acquire) & FreshBit) == 0) return nullptr;
  FFront = FMiddle.exchange(FFront, std::memory_order_acq_rel) & 3;
  return &FSnapshots[static_cast<size_t>(FFront)];
}

}  // namespace quellmarin
