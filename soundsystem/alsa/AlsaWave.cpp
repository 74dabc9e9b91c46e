#include "soundsystem/alsa/AlsaWave.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "soundsystem/alsa/AlsaSoundSystem.h"

namespace quellmarin {

namespace {

// The ALSA buffer holds two 100 ms blocks; a period is a quarter block, so a
// block is filled or played in four steps.
constexpr unsigned PeriodMicroseconds = 25000;
constexpr unsigned BufferMicroseconds = 200000;
// Recoveries in a row that move no frame before the device counts as gone.
constexpr int MaxFruitlessRecoveries = 20;
// Waits in a row that found nothing to do before the thread naps instead of
// polling the PCM (a descriptor that stays ready must not make it spin).
constexpr int MaxIdlePolls = 50;

const char* Direction(bool Capture) { return Capture ? "capture" : "playback"; }

}  // namespace

TAlsaWave::TAlsaWave(TAlsaSoundSystem& Owner, bool IsCapture, uintptr_t Handle, std::string Device,
                     TWaveInProc Callback, uintptr_t Instance)
    : Capture(IsCapture), FOwner(Owner), FHandle(Handle), FDevice(std::move(Device)), FCallback(Callback),
      FInstance(Instance) {}

TAlsaWave::~TAlsaWave() {
  if (FThread.joinable()) {
    Reset();
    Close();
  }
  if (FPcm) snd_pcm_close(FPcm);
  if (FWakeFd >= 0) ::close(FWakeFd);
}

MMRESULT TAlsaWave::Setup(TAlsaSoundSystem& Owner, snd_pcm_t* Pcm, bool IsCapture, const std::string& Device,
                          const WAVEFORMATEX& Format, snd_pcm_uframes_t* PeriodFrames) {
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  int err = snd_pcm_hw_params_any(Pcm, hw);
  if (err < 0)
    return Owner.AlsaError(std::string("Could not read the parameters of ALSA ") + Direction(IsCapture) + " device",
                           Device, err);
  err = snd_pcm_hw_params_set_access(Pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
  if (err < 0)
    return Owner.AlsaError(std::string("Could not set interleaved access on ALSA ") + Direction(IsCapture) +
                               " device",
                           Device, err);
  snd_pcm_format_t fmt = Format.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
  if (snd_pcm_hw_params_set_format(Pcm, hw, fmt) < 0) return WAVERR_BADFORMAT;
  if (snd_pcm_hw_params_set_channels(Pcm, hw, Format.nChannels) < 0) return WAVERR_BADFORMAT;
  if (snd_pcm_hw_params_set_rate(Pcm, hw, Format.nSamplesPerSec, 0) < 0) return WAVERR_BADFORMAT;
  if (PeriodFrames == nullptr) return MMSYSERR_NOERROR;  // a query checks the format only

  unsigned period = PeriodMicroseconds, buffer = BufferMicroseconds;
  int dir = 0;
  snd_pcm_hw_params_set_period_time_near(Pcm, hw, &period, &dir);
  dir = 0;
  snd_pcm_hw_params_set_buffer_time_near(Pcm, hw, &buffer, &dir);
  err = snd_pcm_hw_params(Pcm, hw);
  if (err < 0)
    return Owner.AlsaError(std::string("Could not set up ALSA ") + Direction(IsCapture) + " device", Device, err);
  snd_pcm_uframes_t bufferFrames = 0;
  snd_pcm_hw_params_get_period_size(hw, PeriodFrames, &dir);
  snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames);

  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  snd_pcm_sw_params_current(Pcm, sw);
  snd_pcm_sw_params_set_avail_min(Pcm, sw, *PeriodFrames);
  // Playback starts once the buffer is full or when nothing more is waiting
  // to be written; recording starts when asked. Both stop on an xrun.
  snd_pcm_sw_params_set_start_threshold(Pcm, sw, IsCapture ? bufferFrames * 2 : bufferFrames);
  snd_pcm_sw_params_set_stop_threshold(Pcm, sw, bufferFrames);
  err = snd_pcm_sw_params(Pcm, sw);
  if (err < 0)
    return Owner.AlsaError(std::string("Could not set the start and stop levels of ALSA ") + Direction(IsCapture) +
                               " device",
                           Device, err);
  err = snd_pcm_prepare(Pcm);
  if (err < 0)
    return Owner.AlsaError(std::string("Could not prepare ALSA ") + Direction(IsCapture) + " device", Device, err);
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaWave::Query(TAlsaSoundSystem& Owner, bool IsCapture, const std::string& Device,
                          const WAVEFORMATEX& Format) {
  snd_pcm_t* pcm = nullptr;
  int err = snd_pcm_open(&pcm, Device.c_str(), IsCapture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                         SND_PCM_NONBLOCK);
  if (err < 0)
    return Owner.AlsaError(std::string("Could not open ALSA ") + Direction(IsCapture) + " device", Device, err);
  MMRESULT r = Setup(Owner, pcm, IsCapture, Device, Format, nullptr);
  snd_pcm_close(pcm);
  return r;
}

MMRESULT TAlsaWave::Open(const WAVEFORMATEX& Format) {
  int err = snd_pcm_open(&FPcm, FDevice.c_str(), Capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                         SND_PCM_NONBLOCK);
  if (err < 0) {
    FPcm = nullptr;
    return FOwner.AlsaError(std::string("Could not open ALSA ") + Direction(Capture) + " device", FDevice, err);
  }
  snd_pcm_uframes_t period = 0;
  MMRESULT r = Setup(FOwner, FPcm, Capture, FDevice, Format, &period);
  if (r != MMSYSERR_NOERROR) {
    snd_pcm_close(FPcm);
    FPcm = nullptr;
    return r;
  }
  FChannels = Format.nChannels;
  FEightBit = Format.wBitsPerSample == 8;
  FBytesPerFrame = FChannels * (FEightBit ? 1 : 2);
  FRate = Format.nSamplesPerSec;
  FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FWakeFd < 0) {
    snd_pcm_close(FPcm);
    FPcm = nullptr;
    return MMSYSERR_NOMEM;
  }
  std::unique_lock lock(FLock);
  FThread = std::thread([this] { Run(); });
  FChanged.wait(lock, [this] { return FOpened; });
  return MMSYSERR_NOERROR;
}

void TAlsaWave::Wake() {
  uint64_t one = 1;
  ssize_t n = ::write(FWakeFd, &one, sizeof one);
  (void)n;
}

MMRESULT TAlsaWave::Prepare(WAVEHDR* Header) {
  std::lock_guard lock(FLock);
  if (FCloseRequest) return MMSYSERR_INVALHANDLE;
  if (FGone) return MMSYSERR_NODRIVER;
  if (Header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  Header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaWave::Unprepare(WAVEHDR* Header) {
  std::lock_guard lock(FLock);
  if (FCloseRequest) return MMSYSERR_INVALHANDLE;
  if (Header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  Header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaWave::Add(WAVEHDR* Header) {
  std::lock_guard lock(FLock);
  if (FCloseRequest) return MMSYSERR_INVALHANDLE;
  if (FGone) return MMSYSERR_NODRIVER;
  if (!(Header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (Header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  if (Header->lpData == nullptr && Header->dwBufferLength > 0) return MMSYSERR_INVALPARAM;
  if (Capture) Header->dwBytesRecorded = 0;
  Header->dwFlags = (Header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  FHeld.push_back(Header);
  Wake();
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaWave::Start() {
  std::lock_guard lock(FLock);
  if (FCloseRequest) return MMSYSERR_INVALHANDLE;
  if (FGone) return MMSYSERR_NODRIVER;
  FStarted = true;
  Wake();
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaWave::Reset() {
  std::unique_lock lock(FLock);
  if (FCloseRequest) return MMSYSERR_INVALHANDLE;
  uint64_t before = FResets;
  FResetRequest = true;
  Wake();
  FChanged.wait(lock, [&] { return FResets != before; });
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaWave::Close() {
  {
    std::unique_lock lock(FLock);
    if (FCloseRequest) return MMSYSERR_INVALHANDLE;
    if (!FHeld.empty()) return WAVERR_STILLPLAYING;
    FCloseRequest = true;
    Wake();
  }
  if (FThread.joinable()) FThread.join();
  if (FPcm) {
    snd_pcm_drop(FPcm);
    snd_pcm_close(FPcm);
    FPcm = nullptr;
  }
  if (Capture) FOwner.PublishPeak(0, 0);
  return MMSYSERR_NOERROR;
}

void TAlsaWave::Notify(uint32_t Msg, uintptr_t Param1) {
  if (FCallback) FCallback(FHandle, Msg, FInstance, Param1, 0);
}

void TAlsaWave::ReturnHeader(WAVEHDR* Header) {
  Header->dwFlags = (Header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  Notify(Capture ? MM_WIM_DATA : MM_WOM_DONE, reinterpret_cast<uintptr_t>(Header));
}

void TAlsaWave::ReturnAll() {
  if (Capture && !FHeld.empty() && FHeld.front()->dwBytesRecorded > 0)
    FOwner.PublishPeak(FPeak[0], FChannels == 2 ? FPeak[1] : FPeak[0]);
  FPeak[0] = FPeak[1] = 0;
  while (!FHeld.empty()) {
    WAVEHDR* h = FHeld.front();
    FHeld.pop_front();
    ReturnHeader(h);
  }
  FEnds.clear();
  FWriting = 0;
  FWriteOffset = 0;
}

void TAlsaWave::Vanish(const std::string& Step, int Err) {
  FGone = true;
  std::string text = Step + " ALSA " + Direction(Capture) + " device \"" + FDevice + "\": " + snd_strerror(Err);
  FOwner.SetLastDeviceError(text);
  if (FPcm) {
    snd_pcm_close(FPcm);
    FPcm = nullptr;
  }
  FStarted = false;
  ReturnAll();
}

bool TAlsaWave::Recover(int Err) {
  if (Err == -EPIPE || Err == -ESTRPIPE) {
    if (++FFruitless > MaxFruitlessRecoveries) {
      Vanish("Could not recover", Err);
      return false;
    }
    int err = 0;
    if (Err == -EPIPE) {
      // An output that ran out with nothing left to write has simply played
      // to its end; it is a dropout only when a buffer was waiting for it.
      if (Capture)
        FOwner.CountOverrun();
      else if (FWriting < FHeld.size())
        FOwner.CountUnderrun();
      err = snd_pcm_prepare(FPcm);
    } else {
      // Suspended: resume where the device allows it, otherwise start afresh.
      for (int i = 0; i < 50; ++i) {
        err = snd_pcm_resume(FPcm);
        if (err != -EAGAIN) break;
        ::usleep(20000);
      }
      if (err < 0) err = snd_pcm_prepare(FPcm);
    }
    if (err < 0) {
      Vanish("Could not recover", err);
      return false;
    }
    if (Capture) {
      if (FStarted && snd_pcm_state(FPcm) == SND_PCM_STATE_PREPARED) {
        err = snd_pcm_start(FPcm);
        if (err < 0) {
          Vanish("Could not restart", err);
          return false;
        }
      }
    } else if (snd_pcm_state(FPcm) == SND_PCM_STATE_PREPARED) {
      // What was written before has played out (or is lost): those buffers
      // are finished; the one being written goes on.
      while (!FEnds.empty()) {
        WAVEHDR* h = FHeld.front();
        FHeld.pop_front();
        FEnds.pop_front();
        --FWriting;
        ReturnHeader(h);
      }
      FWritten = 0;
    }
    return true;
  }
  Vanish("Lost", Err);
  return false;
}

int TAlsaWave::PumpOutput(int& WaitMs) {
  snd_pcm_state_t st = snd_pcm_state(FPcm);
  if (st == SND_PCM_STATE_XRUN) return -EPIPE;
  if (st == SND_PCM_STATE_SUSPENDED) return -ESTRPIPE;
  if (st == SND_PCM_STATE_DISCONNECTED) return -ENODEV;
  bool moved = false;
  while (FWriting < FHeld.size()) {
    WAVEHDR* h = FHeld[FWriting];
    uint32_t length = h->dwBufferLength / FBytesPerFrame * FBytesPerFrame;
    uint32_t left = (length - FWriteOffset) / FBytesPerFrame;
    if (left == 0) {
      FEnds.push_back(FWritten);
      ++FWriting;
      FWriteOffset = 0;
      moved = true;
      continue;
    }
    snd_pcm_sframes_t avail = snd_pcm_avail_update(FPcm);
    if (avail < 0) return static_cast<int>(avail);
    if (avail == 0) break;
    snd_pcm_sframes_t n = snd_pcm_writei(FPcm, h->lpData + FWriteOffset,
                                         std::min<snd_pcm_uframes_t>(static_cast<snd_pcm_uframes_t>(avail), left));
    if (n == -EAGAIN) break;
    if (n < 0) return static_cast<int>(n);
    FWriteOffset += static_cast<uint32_t>(n) * FBytesPerFrame;
    FWritten += static_cast<uint64_t>(n);
    if (n > 0) {
      moved = true;
      FFruitless = 0;
    }
  }
  st = snd_pcm_state(FPcm);
  if (FWriting == FHeld.size() && st == SND_PCM_STATE_PREPARED && FWritten > 0) {
    int err = snd_pcm_start(FPcm);
    if (err < 0) return err;
    st = snd_pcm_state(FPcm);
  }
  // Frames still in the device; a buffer has played when its last frame has.
  snd_pcm_sframes_t delay = 0;
  if (st == SND_PCM_STATE_PREPARED) {
    delay = static_cast<snd_pcm_sframes_t>(FWritten);
  } else if (st == SND_PCM_STATE_RUNNING || st == SND_PCM_STATE_DRAINING) {
    int err = snd_pcm_delay(FPcm, &delay);
    if (err < 0) return err;
    if (delay < 0) delay = 0;
  } else if (st == SND_PCM_STATE_XRUN) {
    return -EPIPE;
  }
  uint64_t played = FWritten > static_cast<uint64_t>(delay) ? FWritten - static_cast<uint64_t>(delay) : 0;
  while (!FEnds.empty() && FEnds.front() <= played) {
    WAVEHDR* h = FHeld.front();
    FHeld.pop_front();
    FEnds.pop_front();
    --FWriting;
    ReturnHeader(h);
    moved = true;
  }
  if (moved) return 1;
  if (FWriting < FHeld.size()) {
    WaitMs = -1;  // the device has no room: wait for it
  } else if (!FEnds.empty()) {
    // Everything is written: sleep until the next buffer should have played.
    uint64_t frames = FEnds.front() - played;
    WaitMs = static_cast<int>(std::clamp<uint64_t>(frames * 1000 / (FRate ? FRate : 1), 1, 20));
  }
  return 0;
}

int TAlsaWave::PumpInput(int& WaitMs) {
  snd_pcm_state_t st = snd_pcm_state(FPcm);
  if (st == SND_PCM_STATE_XRUN) return -EPIPE;
  if (st == SND_PCM_STATE_SUSPENDED) return -ESTRPIPE;
  if (st == SND_PCM_STATE_DISCONNECTED) return -ENODEV;
  if (st == SND_PCM_STATE_PREPARED) {
    int err = snd_pcm_start(FPcm);
    if (err < 0) return err;
  }
  bool moved = false;
  while (!FHeld.empty()) {
    WAVEHDR* h = FHeld.front();
    uint32_t capacity = h->dwBufferLength / FBytesPerFrame * FBytesPerFrame;
    if (h->dwBytesRecorded >= capacity) {
      // How long the buffer's last frame spent in the device (and the sound
      // server) before it was read: the input's share of the loop's delay.
      snd_pcm_sframes_t delay = 0;
      if (snd_pcm_delay(FPcm, &delay) == 0)
        FCaptureDelay.store(std::max<int64_t>(delay, 0), std::memory_order_relaxed);
      FOwner.PublishPeak(FPeak[0], FChannels == 2 ? FPeak[1] : FPeak[0]);
      FPeak[0] = FPeak[1] = 0;
      FHeld.pop_front();
      ReturnHeader(h);
      moved = true;
      continue;
    }
    snd_pcm_sframes_t avail = snd_pcm_avail_update(FPcm);
    if (avail < 0) return static_cast<int>(avail);
    if (avail == 0) break;
    uint32_t room = (capacity - h->dwBytesRecorded) / FBytesPerFrame;
    char* at = h->lpData + h->dwBytesRecorded;
    snd_pcm_sframes_t n =
        snd_pcm_readi(FPcm, at, std::min<snd_pcm_uframes_t>(static_cast<snd_pcm_uframes_t>(avail), room));
    if (n == -EAGAIN) break;
    if (n < 0) return static_cast<int>(n);
    if (n == 0) break;
    // The recording line's peak meter follows the captured samples.
    size_t samples = static_cast<size_t>(n) * FChannels;
    for (size_t i = 0; i < samples; ++i) {
      int32_t v;
      if (FEightBit) {
        v = (static_cast<int32_t>(static_cast<uint8_t>(at[i])) - 128) * 256;
      } else {
        int16_t s;
        __builtin_memcpy(&s, at + 2 * i, 2);
        v = s;
      }
      v = v < 0 ? -v : v;
      if (v > 32767) v = 32767;
      int32_t& peak = FPeak[FChannels == 2 ? i % 2 : 0];
      if (v > peak) peak = v;
    }
    h->dwBytesRecorded += static_cast<uint32_t>(n) * FBytesPerFrame;
    moved = true;
    FFruitless = 0;
  }
  if (moved) return 1;
  WaitMs = -1;
  return 0;
}

void TAlsaWave::WaitEvents(int WaitMs, bool PollPcm, std::unique_lock<std::mutex>& Lock) {
  struct pollfd fds[16];
  fds[0] = {FWakeFd, POLLIN, 0};
  int count = 1;
  if (PollPcm && FPcm) {
    int n = snd_pcm_poll_descriptors(FPcm, fds + 1, 15);
    if (n > 0) count += n;
  }
  Lock.unlock();
  // A PCM that never becomes ready must not hold the thread forever: look
  // again after a while.
  int timeout = count > 1 ? 200 : WaitMs;
  ::poll(fds, static_cast<nfds_t>(count), timeout);
  uint64_t value;
  ssize_t r = ::read(FWakeFd, &value, sizeof value);
  (void)r;
  Lock.lock();
  if (count > 1 && FPcm) {
    unsigned short revents = 0;
    snd_pcm_poll_descriptors_revents(FPcm, fds + 1, static_cast<unsigned>(count - 1), &revents);
  }
}

void TAlsaWave::Run() {
  std::unique_lock lock(FLock);
  Notify(Capture ? MM_WIM_OPEN : MM_WOM_OPEN, 0);
  FOpened = true;
  FChanged.notify_all();
  int idle = 0;
  for (;;) {
    if (FCloseRequest) break;
    if (FResetRequest) {
      if (FPcm && !FGone) {
        snd_pcm_drop(FPcm);
        int err = snd_pcm_prepare(FPcm);
        if (err < 0) Vanish("Could not prepare", err);
      }
      FStarted = false;
      ReturnAll();
      FWritten = 0;
      FResetRequest = false;
      ++FResets;
      FChanged.notify_all();
      continue;
    }
    int waitMs = -1;
    bool pollPcm = false;
    if (!FGone && FPcm && !FHeld.empty() && (!Capture || FStarted)) {
      int r = Capture ? PumpInput(waitMs) : PumpOutput(waitMs);
      if (r > 0) {
        idle = 0;
        continue;
      }
      if (r < 0) {
        Recover(r);
        continue;
      }
      pollPcm = waitMs < 0;
      if (++idle > MaxIdlePolls) {
        pollPcm = false;
        waitMs = 5;
      }
    }
    WaitEvents(waitMs, pollPcm, lock);
  }
  Notify(Capture ? MM_WIM_CLOSE : MM_WOM_CLOSE, 0);
  FClosed = true;
}

}  // namespace quellmarin
