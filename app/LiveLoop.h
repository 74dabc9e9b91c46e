#pragma once
// The live loop: record -> process -> play, on a thread of its own.
//
// The recorder runs in hand-back mode: its callback (the sound system's
// thread) only puts each returned buffer on a fixed single-producer
// single-consumer ring and wakes the loop's thread. That thread runs the
// trigger test, the engine's block pipeline (with the click-free filter
// stage), the band analysis, writes the processed block to the output
// stream, re-arms the trigger, hands the buffer back to the device and
// publishes a snapshot of what the window shows. Nothing on that path
// allocates, takes a lock the window can hold or waits on the UI thread.
//
// The output is kept a little ahead of the input: before the first block it
// is primed with OutputReserve frames of silence (not a whole block), so that
// a block arriving a little late still finds sound to play. Capture and
// playback run on different clocks, so the reserve is watched: when the
// output falls behind, samples are spliced out of a block (drops); when it
// runs ahead, a short stretch is spliced in (pads). Both are counted.
//
// Threads
//   * Start, Stop, PublishFilter, CollectRetired, TakeSnapshot: UI thread.
//   * The setters and the counters: any thread.
//   * Every way a run ends by itself (the input delivers an empty buffer, a
//     buffer cannot be handed back, the output fails and cannot be reopened)
//     sets State() to rsEnded with EndReason(); the window then calls Stop.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/Engine.h"
#include "app/LiveFilter.h"
#include "audio/Audio.h"
#include "audio/LiveOutput.h"

namespace quellmarin {

// What the window shows of one block, published once per block.
struct TLiveSnapshot {
  uint64_t Block = 0;  // blocks processed in this run, counting from 1
  int32_t BandCount = 0;
  float BandPeak[TFFT::MaxBands] = {};
  float BandFreq[TFFT::MaxBands] = {};
  float MaxAmplitude = 0.0f;
  int32_t MaxBand = 0;
  int32_t DominantBin = 0;
  // The dominant tone's frequency in hertz, finer than the bins (see
  // app/ToneFrequency.h); a block with nothing above the equalize reference
  // keeps the previous value.
  float DominantHz = 0.0f;
  // Largest absolute sample of the processed (offset-free) block.
  float BlockPeak = 0.0f;
  // The live spectrum.
  int32_t SpectrumLength = 0;
  float LowFrequency = 0.0f;
  float HighFrequency = 0.0f;
  float Spectrum[TFFT::MaxSpectrumBins] = {};
  // The block as recorded and as played.
  int32_t Samples = 0;
  int16_t Input[TFFT::MaxBlockSamples] = {};
  int16_t Output[TFFT::MaxBlockSamples] = {};
};

class TLiveLoop {
public:
  enum TRunState { rsIdle = 0, rsRunning = 1, rsEnded = 2 };
  // Output reserve in frames ahead of the input: 30 ms at 20 kHz to begin
  // with; every time the output runs dry it grows by ReserveStep (10 ms), up
  // to MaxReserve (50 ms), for the rest of the run.
  static constexpr int32_t DefaultReserve = 600;
  static constexpr int32_t ReserveStep = 200;
  static constexpr int32_t MaxReserve = 1000;

  // Audio and Engine must outlive the loop; Engine must be initialised.
  TLiveLoop(TAudio& Audio, TFFT& Engine);
  ~TLiveLoop();
  TLiveLoop(const TLiveLoop&) = delete;
  TLiveLoop& operator=(const TLiveLoop&) = delete;

  // Opens the output, starts the loop's thread and the recorder. False when
  // recording cannot start (the audio component's ErrorMessage says why);
  // nothing runs then. An output that cannot be opened does not stop the run:
  // OutputError() says why, and the loop tries again every second.
  bool Start();
  // Stops the recorder, the loop's thread and the output; returns when no
  // callback or block of this run is still running. Safe when not running.
  void Stop();
  TRunState State() const { return FState.load(std::memory_order_acquire); }
  // Why the run ended by itself (UI thread, once State() is rsEnded).
  std::string EndReason() const;
  // The last failure of the output ("" when none), UI thread.
  std::string OutputError() const;

  // Parameters, any thread; they act from the next block.
  void SetFilterEnabled(bool Enabled) { FStage.SetEnabled(Enabled); }
  void SetTriggerOn(bool On) { FTriggerOn.store(On, std::memory_order_relaxed); }
  void RequestEqualize() { FEqualize.store(true, std::memory_order_relaxed); }
  // UI thread: the live spectrum's averaging (at once while no run goes on).
  void SetSpectrumAveraging(TAveraging Averaging, int32_t Decay);
  // Frames of silence the output is primed with (set while stopped).
  void SetOutputReserve(int32_t Frames) { FReserve = Frames; }
  int32_t OutputReserve() const { return FReserve; }
  // The reserve the run uses now (any thread).
  int32_t ReserveInUse() const { return FReserveInUse.load(std::memory_order_relaxed); }
  // Set after every processed block (the window's NewBlock).
  void SetNewBlockFlag(std::atomic<bool>* Flag) { FNewBlock = Flag; }

  // Called on the loop's thread after each delivered block is processed and
  // written, with the block as recorded and as played. It must not block or
  // allocate. Set while stopped.
  std::function<void(const int16_t* Input, const int16_t* Output, int32_t Frames)> OnBlock;

  // UI thread: a new filter design for the live path, swapped in at the next
  // block boundary with a crossfade.
  void PublishFilter(std::unique_ptr<TLiveFilter> Filter) { FStage.Publish(std::move(Filter)); }
  void CollectRetired() { FStage.CollectRetired(); }
  const TLiveFilterStage& Stage() const { return FStage; }

  // UI thread: the latest snapshot when one was published since the last
  // call, else nullptr. The snapshot stays valid until the next call.
  const TLiveSnapshot* TakeSnapshot();

  // Counters of the run (any thread; reset by Start).
  uint64_t Blocks() const { return FBlocks.load(std::memory_order_relaxed); }
  uint64_t HeldBack() const { return FHeldBack.load(std::memory_order_relaxed); }
  // Buffers the loop's thread has finished with (processed or held back,
  // handed back to the device, or an empty one seen).
  uint64_t Handled() const { return FHandled.load(std::memory_order_acquire); }
  int64_t DroppedFrames() const { return FDropped.load(std::memory_order_relaxed); }
  int64_t PaddedFrames() const { return FPadded.load(std::memory_order_relaxed); }
  // The output ran dry before a block came (it is primed again).
  uint64_t Underruns() const { return FUnderruns.load(std::memory_order_relaxed); }
  // The output failed and was reopened.
  uint64_t OutputRestarts() const { return FRestarts.load(std::memory_order_relaxed); }
  // Output frames not yet played, as last seen before a block was written.
  int64_t Backlog() const { return FBacklog.load(std::memory_order_relaxed); }
  // Time the loop's thread spent on blocks, in nanoseconds.
  uint64_t BusyNanoseconds() const { return FBusyNs.load(std::memory_order_relaxed); }
  // When the run started (steady clock, nanoseconds; 0 before the first run)
  // and the sound system's xrun counts then, so that the run's own can be
  // told apart. UI thread.
  int64_t StartedAt() const { return FStartedAt; }
  TXrunCounts XrunsAtStart() const { return FXrunsAtStart; }

  // Runs one block through the loop's processing (pipeline, band analysis,
  // snapshot, NewBlock) on the caller's thread, without the devices: for
  // tests of what the window shows. Only while no run is going on.
  void ProcessBlockNow(int16_t* Samples, int32_t Count);

  // Splices Delta frames into (Delta > 0) or out of (Delta < 0) In[0 .. Count)
  // with short crossfades at the joins; writes Count + Delta frames to Out.
  // |Delta| must leave room: |Delta| + 2 x SpliceFade <= Count / 2.
  static constexpr int32_t SpliceFade = 100;
  static int32_t Splice(const int16_t* In, int32_t Count, int32_t Delta, int16_t* Out);

private:
  class TSink;
  struct TItem {
    char* LP = nullptr;
    char* RP = nullptr;
    uint32_t Bytes = 0;
  };
  static constexpr uint32_t RingSize = 32;  // more than the recorder's 20 buffers

  void Run();
  void HandleBuffer(const TItem& Item);
  void Process(int16_t* Samples, int32_t Frames);
  void WriteOutput(const int16_t* Block, int32_t Frames);
  bool ReopenOutput();
  void Publish(const int16_t* Input, const int16_t* Output, int32_t Frames);
  void End(const char* Reason, bool Overrides = false);
  void Push(const TItem& Item);  // callback thread
  bool Pop(TItem& Item);

  TAudio& FAudio;
  TFFT& FEngine;
  TLiveFilterStage FStage;
  std::unique_ptr<TSink> FSink;
  std::unique_ptr<TLiveOutput> FOutput;
  std::thread FThread;
  std::atomic<TRunState> FState{rsIdle};
  std::atomic<bool> FQuit{false};

  // Buffer ring from the callback to the loop's thread.
  TItem FRing[RingSize];
  std::atomic<uint64_t> FPushed{0};
  std::atomic<uint64_t> FPopped{0};
  // Raised by every push and by Stop; the loop's thread sleeps on it.
  std::atomic<uint32_t> FSignal{0};
  void Wake();

  // Parameters.
  std::atomic<bool> FTriggerOn{false};
  std::atomic<bool> FEqualize{false};
  std::atomic<uint32_t> FSpectrumSettings{0};  // averaging << 16 | decay, + 1 << 31 when changed
  std::atomic<bool>* FNewBlock = nullptr;
  int32_t FReserve = DefaultReserve;
  int32_t FReserveNow = DefaultReserve;  // loop's thread
  std::atomic<int32_t> FReserveInUse{DefaultReserve};
  int64_t FStartedAt = 0;
  TXrunCounts FXrunsAtStart;

  // Loop thread's state.
  bool FPrimed = false;
  int64_t FWindowMin = 0;
  int32_t FWindowBlocks = 0;
  int32_t FBlocksSinceOutputFailure = 0;
  float FDominantHz = 0.0f;
  bool FInputFailed = false;
  int16_t FInputCopy[TFFT::MaxBlockSamples] = {};
  int16_t FSpliced[2 * TFFT::MaxBlockSamples] = {};
  char FEndReason[512] = {};
  char FOutputError[512] = {};

  // Snapshots: a triple buffer. The loop writes FSnapshots[FBack], then swaps
  // it with the middle one; the window swaps the middle one with its front
  // one when it is marked fresh.
  std::unique_ptr<TLiveSnapshot[]> FSnapshots;
  int FBack = 0;
  int FFront = 1;
  std::atomic<int> FMiddle{2};  // index | FreshBit
  static constexpr int FreshBit = 4;

  // Counters.
  std::atomic<uint64_t> FBlocks{0};
  std::atomic<uint64_t> FHeldBack{0};
  std::atomic<uint64_t> FHandled{0};
  std::atomic<int64_t> FDropped{0};
  std::atomic<int64_t> FPadded{0};
  std::atomic<uint64_t> FUnderruns{0};
  std::atomic<uint64_t> FRestarts{0};
  std::atomic<int64_t> FBacklog{0};
  std::atomic<uint64_t> FBusyNs{0};
};

}  // namespace quellmarin
