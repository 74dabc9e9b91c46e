// The virtual sound card's wave devices: format checks, opening and closing,
// buffer headers, the held and returned buffer lists, and the device thread
// that delivers every notification in order.

#include "soundsystem/virtual/VirtualSoundCard.h"
#include "soundsystem/virtual/VirtualCardDetail.h"

#include <memory>
#include <thread>
#include <utility>

namespace quellmarin {

MMRESULT TVirtualSoundCard::CheckFormat(const WAVEFORMATEX* Format) const {
  if (Format == nullptr) return MMSYSERR_INVALPARAM;
  if (Format->wFormatTag != WAVE_FORMAT_PCM) return WAVERR_BADFORMAT;
  if (Format->nChannels < 1 || Format->nChannels > 2) return WAVERR_BADFORMAT;
  if (Format->wBitsPerSample != 8 && Format->wBitsPerSample != 16) return WAVERR_BADFORMAT;
  if (Format->nBlockAlign != Format->nChannels * Format->wBitsPerSample / 8) return WAVERR_BADFORMAT;
  if (Format->nSamplesPerSec < 1000 || Format->nSamplesPerSec > 192000) return WAVERR_BADFORMAT;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::OpenWave(bool Input, uintptr_t* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format,
                                     TWaveInProc Callback, uintptr_t Instance, uint32_t Flags) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault(Input ? "waveInOpen" : "waveOutOpen")) return r;
  const uint32_t Count = Input ? FInputs : FOutputs;
  if (!(DeviceID < Count || (DeviceID == WAVE_MAPPER && Count > 0))) return MMSYSERR_BADDEVICEID;
  if (MMRESULT r = CheckFormat(Format)) return r;
  if (Flags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;
  const uint32_t Kind = Flags & 0x00070000u;
  if (Kind == CALLBACK_FUNCTION) {
    if (Callback == nullptr) return MMSYSERR_INVALPARAM;
  } else if (Kind != CALLBACK_NULL) {
    return MMSYSERR_INVALFLAG;
  }
  if (Handle == nullptr) return MMSYSERR_INVALPARAM;
  if (FHalfDuplex)
    for (auto& [h, d] : FWave)
      if (!d->Closing && d->Input != Input) return MMSYSERR_ALLOCATED;

  auto Device = std::make_unique<TWaveDevice>();
  TWaveDevice* D = Device.get();
  D->Input = Input;
  D->DeviceID = DeviceID == WAVE_MAPPER ? 0 : DeviceID;
  D->Handle = FNextHandle++;
  D->Format = *Format;
  D->Callback = Kind == CALLBACK_FUNCTION ? Callback : nullptr;
  D->Instance = Instance;
  D->OpenPending = true;
  if (!Input) FPlayedFormat = *Format;
  FWave[D->Handle] = std::move(Device);
  D->Thread = std::thread(&TVirtualSoundCard::DeviceThread, this, D);
  WaitDelivered(Lock, *D);
  *Handle = D->Handle;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::waveInOpen(HWAVEIN* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format,
                                       TWaveInProc Callback, uintptr_t Instance, uint32_t Flags) {
  return OpenWave(true, Handle, DeviceID, Format, Callback, Instance, Flags);
}

MMRESULT TVirtualSoundCard::waveOutOpen(HWAVEOUT* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format,
                                        TWaveOutProc Callback, uintptr_t Instance, uint32_t Flags) {
  return OpenWave(false, Handle, DeviceID, Format, Callback, Instance, Flags);
}

TVirtualSoundCard::TWaveDevice* TVirtualSoundCard::FindWave(TLock& Lock, uintptr_t Handle, bool Input) {
  for (;;) {
    auto it = FWave.find(Handle);
    if (it == FWave.end() || it->second->Input != Input || it->second->Closing) return nullptr;
    TWaveDevice* D = it->second.get();
    if (!D->InCallback) return D;
    FDelivered.wait(Lock);  // a call waits for the device's running callback
  }
}

void TVirtualSoundCard::WaitDelivered(TLock& Lock, TWaveDevice& Device) {
  Device.Wake.notify_one();
  FDelivered.wait(Lock, [&] { return Device.Idle(); });
}

MMRESULT TVirtualSoundCard::PrepareHeader(bool Input, uintptr_t Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault(Input ? "waveInPrepareHeader" : "waveOutPrepareHeader")) return r;
  TWaveDevice* D = FindWave(Lock, Handle, Input);
  if (D == nullptr) return MMSYSERR_INVALHANDLE;
  if (Header == nullptr || HeaderSize != sizeof(WAVEHDR) || Header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  if (D->Gone) return MMSYSERR_NODRIVER;
  if (Header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  Header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::UnprepareHeader(bool Input, uintptr_t Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault(Input ? "waveInUnprepareHeader" : "waveOutUnprepareHeader")) return r;
  TWaveDevice* D = FindWave(Lock, Handle, Input);
  if (D == nullptr) return MMSYSERR_INVALHANDLE;
  if (Header == nullptr || HeaderSize != sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  if (Header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  Header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::AddHeader(bool Input, uintptr_t Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault(Input ? "waveInAddBuffer" : "waveOutWrite")) return r;
  TWaveDevice* D = FindWave(Lock, Handle, Input);
  if (D == nullptr) return MMSYSERR_INVALHANDLE;
  if (Header == nullptr || HeaderSize != sizeof(WAVEHDR) || Header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  if (D->Gone) return MMSYSERR_NODRIVER;
  if (!(Header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (Header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  if (Input && Header->dwBufferLength < D->Format.nBlockAlign) return MMSYSERR_INVALPARAM;
  Header->dwFlags = (Header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  if (Input) Header->dwBytesRecorded = 0;
  if (!Input && D->RanDry) ++FUnderruns;
  D->RanDry = false;
  Header->lpNext = nullptr;
  if (D->HeldTail)
    D->HeldTail->lpNext = Header;
  else
    D->HeldHead = Header;
  D->HeldTail = Header;
  ++D->HeldCount;
  D->Wake.notify_one();
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::waveInPrepareHeader(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return PrepareHeader(true, Handle, Header, HeaderSize);
}
MMRESULT TVirtualSoundCard::waveInUnprepareHeader(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return UnprepareHeader(true, Handle, Header, HeaderSize);
}
MMRESULT TVirtualSoundCard::waveInAddBuffer(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return AddHeader(true, Handle, Header, HeaderSize);
}
MMRESULT TVirtualSoundCard::waveOutPrepareHeader(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return PrepareHeader(false, Handle, Header, HeaderSize);
}
MMRESULT TVirtualSoundCard::waveOutUnprepareHeader(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return UnprepareHeader(false, Handle, Header, HeaderSize);
}
MMRESULT TVirtualSoundCard::waveOutWrite(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return AddHeader(false, Handle, Header, HeaderSize);
}

MMRESULT TVirtualSoundCard::waveInStart(HWAVEIN Handle) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("waveInStart")) return r;
  TWaveDevice* D = FindWave(Lock, Handle, true);
  if (D == nullptr) return MMSYSERR_INVALHANDLE;
  if (D->Gone) return MMSYSERR_NODRIVER;
  if (!D->Started) {
    D->Started = true;
    D->ClockRunning = true;
    D->Base = std::chrono::steady_clock::now();
    D->Frames = 0;
  }
  D->Wake.notify_one();
  return MMSYSERR_NOERROR;
}

// Moves the oldest held buffer to the returned list; its notification follows
// on the device's thread. Input buffers carry Bytes recorded.
void TVirtualSoundCard::ReturnHead(TWaveDevice& D, uint32_t Bytes) {
  WAVEHDR* h = D.HeldHead;
  if (h == nullptr) return;
  D.HeldHead = h->lpNext;
  if (D.HeldHead == nullptr) D.HeldTail = nullptr;
  --D.HeldCount;
  if (D.Input) h->dwBytesRecorded = Bytes;
  h->lpNext = nullptr;
  if (D.DoneTail)
    D.DoneTail->lpNext = h;
  else
    D.DoneHead = h;
  D.DoneTail = h;
  D.Position = 0;
  D.Wake.notify_one();
}

void TVirtualSoundCard::ReturnAllHeld(TWaveDevice& D) {
  const uint32_t Align = D.Format.nBlockAlign;
  bool First = true;
  while (D.HeldHead) {
    ReturnHead(D, First ? D.Position / Align * Align : 0);
    First = false;
  }
  D.Position = 0;
  D.ClockRunning = D.Input && D.Started;
}

MMRESULT TVirtualSoundCard::ResetWave(bool Input, uintptr_t Handle) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault(Input ? "waveInReset" : "waveOutReset")) return r;
  TWaveDevice* D = FindWave(Lock, Handle, Input);
  if (D == nullptr) return MMSYSERR_INVALHANDLE;
  D->Started = false;
  ReturnAllHeld(*D);
  D->ClockRunning = false;
  D->Starved = D->RanDry = false;
  WaitDelivered(Lock, *D);
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::waveInReset(HWAVEIN Handle) { return ResetWave(true, Handle); }
MMRESULT TVirtualSoundCard::waveOutReset(HWAVEOUT Handle) { return ResetWave(false, Handle); }

MMRESULT TVirtualSoundCard::CloseWave(bool Input, uintptr_t Handle) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault(Input ? "waveInClose" : "waveOutClose")) return r;
  TWaveDevice* D = FindWave(Lock, Handle, Input);
  if (D == nullptr) return MMSYSERR_INVALHANDLE;
  if (D->HeldHead) return WAVERR_STILLPLAYING;
  D->Closing = true;
  D->Started = false;
  D->ClosePending = true;
  WaitDelivered(Lock, *D);
  D->Quit = true;
  D->Wake.notify_one();
  std::thread Thread = std::move(D->Thread);
  auto Node = FWave.extract(Handle);
  Lock.unlock();
  Thread.join();
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::waveInClose(HWAVEIN Handle) { return CloseWave(true, Handle); }
MMRESULT TVirtualSoundCard::waveOutClose(HWAVEOUT Handle) { return CloseWave(false, Handle); }

// The device's thread: delivers its notifications one at a time, in order,
// and on the real-time clock records or plays at the device's rate.
void TVirtualSoundCard::DeviceThread(TWaveDevice* D) {
  TLock Lock(FLock);
  for (;;) {
    uint32_t Msg = 0;
    uintptr_t Param1 = 0;
    if (D->OpenPending) {
      D->OpenPending = false;
      Msg = D->Input ? MM_WIM_OPEN : MM_WOM_OPEN;
    } else if (D->DoneHead) {
      WAVEHDR* h = D->DoneHead;
      D->DoneHead = h->lpNext;
      if (D->DoneHead == nullptr) D->DoneTail = nullptr;
      h->lpNext = nullptr;
      h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      Msg = D->Input ? MM_WIM_DATA : MM_WOM_DONE;
      Param1 = reinterpret_cast<uintptr_t>(h);
    } else if (D->ClosePending) {
      D->ClosePending = false;
      Msg = D->Input ? MM_WIM_CLOSE : MM_WOM_CLOSE;
    } else if (D->Quit) {
      break;
    }
    if (Msg != 0) {
      D->InCallback = true;
      TWaveInProc Callback = D->Callback;
      const uintptr_t Handle = D->Handle, Instance = D->Instance;
      Lock.unlock();
      if (Callback) Callback(Handle, Msg, Instance, Param1, 0);
      Lock.lock();
      D->InCallback = false;
      FDelivered.notify_all();
      continue;
    }
    if (FClock == ckRealTime && !D->Gone && !D->Closing && (D->Input ? D->Started : D->HeldHead != nullptr)) {
      Advance(*D);
      if (D->DoneHead == nullptr) D->Wake.wait_for(Lock, virtual_card::RealTimeTick);
    } else {
      D->Wake.wait(Lock);
    }
  }
}

}  // namespace quellmarin
