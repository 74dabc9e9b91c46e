#pragma once
// TLiveOutput: the live loop's stream to the wave output device. Blocks are
// cut into short chunks (10 ms by default) written straight to the device
// from the loop's own thread, so that no block waits on the UI thread and the
// loop always knows how much is still to be played (the backlog, to one
// chunk). Chunks live in a fixed ring: writing allocates nothing, and a block
// that finds the ring full loses what does not fit (counted).
//
// Threads
//   * Open and Close: the owner's thread, while no Write runs (the live loop
//     opens before its thread starts and closes after it has ended; it may
//     also reopen from its own thread after a failure).
//   * Write, Backlog and the counters' writers: one producer thread.
//   * The device's done callback only adds to atomic counters.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "soundsystem/SoundSystem.h"

namespace quellmarin {

class TLiveOutput {
public:
  // Format: 16-bit mono or stereo PCM. ChunkFrames frames per device buffer,
  // Chunks buffers in the ring.
  TLiveOutput(TSoundSystem& SoundSystem, uint32_t DeviceID, const WAVEFORMATEX& Format, int32_t ChunkFrames = 200,
              int32_t Chunks = 64);
  ~TLiveOutput();
  TLiveOutput(const TLiveOutput&) = delete;
  TLiveOutput& operator=(const TLiveOutput&) = delete;

  // Opens the device and prepares the ring. MMSYSERR_NOERROR or the device's
  // code; ErrorText() then holds its text.
  MMRESULT Open();
  // Returns every held chunk, unprepares and closes. Safe when not open.
  void Close();
  bool IsOpen() const { return FHandle != 0; }

  // Writes Frames frames of Data (interleaved when stereo). Returns
  // MMSYSERR_NOERROR or the first failing write's code (the rest of the data
  // is not written). Frames that find no free chunk are dropped and counted.
  MMRESULT Write(const int16_t* Data, int32_t Frames);
  // Writes Frames frames of silence.
  MMRESULT WriteSilence(int32_t Frames);

  // Frames written and not yet played (to one chunk: a chunk counts until
  // its last frame has played).
  int64_t Backlog() const { return FWrittenFrames - FDoneFrames.load(std::memory_order_acquire); }
  // Frames the ring could not take since Open.
  int64_t Overflowed() const { return FOverflowed; }
  int32_t ChunkFrames() const { return FChunkFrames; }
  int32_t Capacity() const { return FChunkFrames * FChunks; }
  // The text of the last failure of Open or Write (producer/owner thread).
  const std::string& ErrorText() const { return FErrorText; }

private:
  static void Callback(HWAVEOUT Handle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1, uintptr_t Param2);
  MMRESULT WriteChunk(const int16_t* Data, int32_t Frames);
  void SetError(const char* Step, MMRESULT Code);

  TSoundSystem& FSoundSystem;
  const uint32_t FDeviceID;
  WAVEFORMATEX FFormat;
  const int32_t FChunkFrames;
  const int32_t FChunks;
  HWAVEOUT FHandle = 0;
  std::vector<WAVEHDR> FHeaders;
  std::vector<int16_t> FData;
  int64_t FNextChunk = 0;       // chunks written since Open (producer)
  int64_t FWrittenFrames = 0;   // producer
  int64_t FOverflowed = 0;      // producer
  std::atomic<int64_t> FDoneChunks{0};
  std::atomic<int64_t> FDoneFrames{0};
  std::string FErrorText;
};

}  // namespace quellmarin
