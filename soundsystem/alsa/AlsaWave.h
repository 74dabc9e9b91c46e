#pragma once
// One open ALSA wave device (input or output) with its own thread. Internal to
// the ALSA sound system.
//
// The thread owns the PCM while the device is open: it fills (input) or plays
// (output) the held buffers in order, returns them and raises every
// notification, with FLock held. The calls of TAlsaSoundSystem take FLock,
// change the held list or post a request, and wake the thread through an
// eventfd; reset and close wait for the thread to carry the request out.

#include <alsa/asoundlib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "soundsystem/SoundSystem.h"

namespace quellmarin {

class TAlsaSoundSystem;

class TAlsaWave {
public:
  TAlsaWave(TAlsaSoundSystem& Owner, bool Capture, uintptr_t Handle, std::string Device, TWaveInProc Callback,
            uintptr_t Instance);
  ~TAlsaWave();

  // Opens and sets up the PCM for Format, starts the thread and waits for the
  // open notification. Returns MMSYSERR_NOERROR or a code.
  MMRESULT Open(const WAVEFORMATEX& Format);
  // Checks whether the device takes Format, opening nothing that stays open.
  static MMRESULT Query(TAlsaSoundSystem& Owner, bool Capture, const std::string& Device,
                        const WAVEFORMATEX& Format);

  MMRESULT Prepare(WAVEHDR* Header);
  MMRESULT Unprepare(WAVEHDR* Header);
  MMRESULT Add(WAVEHDR* Header);  // waveInAddBuffer and waveOutWrite
  MMRESULT Start();               // input only
  MMRESULT Reset();
  // WAVERR_STILLPLAYING while buffers are held; otherwise stops the thread
  // (which raises the close notification) and closes the PCM.
  MMRESULT Close();

  const bool Capture;
  // Input: the PCM's delay in frames when the latest buffer filled; -1 before
  // the first one (any thread).
  int64_t CaptureDelay() const { return FCaptureDelay.load(std::memory_order_relaxed); }

private:
  // Sets hardware and software parameters; a code on failure.
  static MMRESULT Setup(TAlsaSoundSystem& Owner, snd_pcm_t* Pcm, bool Capture, const std::string& Device,
                        const WAVEFORMATEX& Format, snd_pcm_uframes_t* PeriodFrames);
  void Run();
  void Notify(uint32_t Msg, uintptr_t Param1);
  void ReturnHeader(WAVEHDR* Header);
  void ReturnAll();
  // One step of the transfer. Returns 1 when something moved, 0 when the
  // thread has to wait (WaitMs: how long at most, -1 for the PCM's poll), or
  // a negative ALSA error.
  int PumpOutput(int& WaitMs);
  int PumpInput(int& WaitMs);
  // Deals with an ALSA error of the transfer: recovers an xrun or a suspend,
  // or ends the device. Returns true when the device goes on.
  bool Recover(int Err);
  void Vanish(const std::string& Step, int Err);
  void Wake();
  void WaitEvents(int WaitMs, bool PollPcm, std::unique_lock<std::mutex>& Lock);

  TAlsaSoundSystem& FOwner;
  const uintptr_t FHandle;
  const std::string FDevice;
  const TWaveInProc FCallback;
  const uintptr_t FInstance;

  snd_pcm_t* FPcm = nullptr;
  int FWakeFd = -1;
  uint32_t FBytesPerFrame = 1;
  uint32_t FChannels = 1;
  bool FEightBit = false;
  uint32_t FRate = 0;

  std::mutex FLock;
  std::condition_variable FChanged;
  std::thread FThread;
  std::deque<WAVEHDR*> FHeld;  // held headers in order
  // Output: headers fully handed to ALSA, with the frame count at their end.
  std::deque<uint64_t> FEnds;
  size_t FWriting = 0;       // output: index in FHeld of the header being written
  uint32_t FWriteOffset = 0; // output: bytes of it already written
  uint64_t FWritten = 0;     // output: frames written since the PCM was last prepared
  bool FStarted = false;     // input: recording
  bool FGone = false;        // the device has disappeared
  bool FResetRequest = false;
  bool FCloseRequest = false;
  bool FOpened = false;      // the thread has raised the open notification
  bool FClosed = false;      // the thread has raised the close notification
  uint64_t FResets = 0;      // resets carried out
  int FFruitless = 0;        // recoveries in a row without a transferred frame
  int32_t FPeak[2] = {0, 0}; // input: peak of the buffer being filled
  std::atomic<int64_t> FCaptureDelay{-1};
};

}  // namespace quellmarin
