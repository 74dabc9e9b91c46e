#include "soundsystem/virtual/VirtualSoundCard.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace quellmarin {

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr size_t LoopCapacity = size_t(1) << 20;       // loopback ring, samples
constexpr size_t PlayedLimit = size_t(64) << 20;        // bytes kept of what was played
constexpr auto RealTimeTick = std::chrono::milliseconds(5);

// Every call of the interface, for fault injection.
const char* const CallNames[] = {
    "waveInGetDevCapsA",     "waveInOpen",         "waveInPrepareHeader",   "waveInAddBuffer",
    "waveInStart",           "waveInReset",        "waveInUnprepareHeader", "waveInClose",
    "waveInGetErrorTextA",   "waveOutGetDevCapsA", "waveOutOpen",           "waveOutPrepareHeader",
    "waveOutWrite",          "waveOutReset",       "waveOutUnprepareHeader", "waveOutClose",
    "waveOutGetErrorTextA",  "waveOutGetVolume",   "waveOutSetVolume",      "mixerGetDevCapsA",
    "mixerOpen",             "mixerGetLineInfoA",  "mixerGetLineControlsA", "mixerGetControlDetailsA",
    "mixerSetControlDetails", "mixerClose",
};

void CopyName(char* Target, size_t Size, const std::string& Name) {
  std::memset(Target, 0, Size);
  std::memcpy(Target, Name.data(), std::min(Name.size(), Size - 1));
}

}  // namespace

struct TVirtualSoundCard::TWaveDevice {
  bool Input = false;
  uint32_t DeviceID = 0;
  uintptr_t Handle = 0;
  WAVEFORMATEX Format{};
  TWaveInProc Callback = nullptr;
  uintptr_t Instance = 0;

  bool Started = false;  // input: recording
  bool Gone = false;     // vanished
  bool Closing = false;  // close under way: the handle no longer answers

  // Buffers the device holds, oldest first, and those returned but not yet
  // notified; both are linked through the header's lpNext.
  WAVEHDR* HeldHead = nullptr;
  WAVEHDR* HeldTail = nullptr;
  int HeldCount = 0;
  WAVEHDR* DoneHead = nullptr;
  WAVEHDR* DoneTail = nullptr;
  uint32_t Position = 0;  // bytes recorded into / played from the oldest held buffer

  bool OpenPending = false;
  bool ClosePending = false;
  bool InCallback = false;
  bool Quit = false;

  // Real-time clock: frames due since Base, frames done.
  bool ClockRunning = false;
  std::chrono::steady_clock::time_point Base;
  uint64_t Frames = 0;

  std::condition_variable Wake;
  std::thread Thread;

  bool Idle() const { return !OpenPending && !ClosePending && DoneHead == nullptr && !InCallback; }
};

struct TVirtualSoundCard::TMixerHandle {
  uintptr_t Handle = 0;
  TMixerProc Callback = nullptr;
  uintptr_t Instance = 0;
  uint32_t Pending[64] = {};  // changed control ids, oldest first, each once
  int PendingCount = 0;
  bool InCallback = false;
  bool Quit = false;
  std::condition_variable Wake;
  std::thread Thread;
};

struct TVirtualSoundCard::TControl {
  uint32_t ID = 0;
  uint32_t Type = 0;
  size_t Line = 0;
  uint32_t Channels = 1;  // values kept (a mute keeps one for every channel)
  int32_t Value[2] = {0, 0};
};

struct TVirtualSoundCard::TLine {
  std::string Name;
  std::string ShortName;
  uint32_t Destination = 0;
  uint32_t Source = OwnLine;
  uint32_t ComponentType = 0;
  uint32_t Channels = 2;
  uint32_t LineID = 0;
  uint32_t Connections = 0;
  std::vector<uint32_t> Controls;  // ids
};

// ---------------------------------------------------------------------------
// Construction

TVirtualSoundCard::TVirtualSoundCard(TClock Clock) : FClock(Clock) {
  FOutCaps.wMid = 1;
  FOutCaps.wPid = 1;
  FOutCaps.vDriverVersion = 0x0100;
  CopyName(FOutCaps.szPname, MAXPNAMELEN, "Virtual Sound Card");
  FOutCaps.dwFormats = 0x0FFF;  // every rate, mono and stereo, 8 and 16 bits
  FOutCaps.wChannels = 2;
  FOutCaps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
  FInCaps.wMid = 1;
  FInCaps.wPid = 2;
  FInCaps.vDriverVersion = 0x0100;
  CopyName(FInCaps.szPname, MAXPNAMELEN, "Virtual Sound Card");
  FInCaps.dwFormats = 0x0FFF;
  FInCaps.wChannels = 2;
  FMixerCaps.wMid = 1;
  FMixerCaps.wPid = 3;
  FMixerCaps.vDriverVersion = 0x0100;
  CopyName(FMixerCaps.szPname, MAXPNAMELEN, "Virtual Mixer");
  BuildMixer();
  FMixerCaps.cDestinations = 2;
}

TVirtualSoundCard::~TVirtualSoundCard() {
  TLock Lock(FLock);
  for (auto& [h, m] : FMixers) {
    m->Quit = true;
    m->PendingCount = 0;
    m->Wake.notify_one();
  }
  for (auto& [h, d] : FWave) {
    d->Started = false;
    ReturnAllHeld(*d);
    if (!d->Closing) d->ClosePending = true;
    d->Closing = true;
    d->Wake.notify_one();
  }
  FDelivered.wait(Lock, [this] {
    for (auto& [h, d] : FWave)
      if (!d->Idle()) return false;
    return true;
  });
  std::vector<std::thread> Threads;
  for (auto& [h, d] : FWave) {
    d->Quit = true;
    d->Wake.notify_one();
    Threads.push_back(std::move(d->Thread));
  }
  for (auto& [h, m] : FMixers) Threads.push_back(std::move(m->Thread));
  Lock.unlock();
  for (auto& t : Threads)
    if (t.joinable()) t.join();
}

std::string TVirtualSoundCard::Name() const { return "Virtual sound card"; }

// ---------------------------------------------------------------------------
// Faults and error texts

MMRESULT TVirtualSoundCard::Fault(const char* Call) {
  auto it = FFaults.find(Call);
  if (it == FFaults.end()) return MMSYSERR_NOERROR;
  TFault& f = it->second;
  if (f.Skip > 0) {
    --f.Skip;
    return MMSYSERR_NOERROR;
  }
  if (f.Times == 0) return MMSYSERR_NOERROR;
  if (f.Times > 0) --f.Times;
  return f.Code;
}

void TVirtualSoundCard::InjectFault(const std::string& Call, MMRESULT Code, const std::string& Text, int Skip,
                                    int Times) {
  if (std::find_if(std::begin(CallNames), std::end(CallNames), [&](const char* n) { return Call == n; }) ==
      std::end(CallNames))
    throw std::invalid_argument("no such sound-system call: " + Call);
  TLock Lock(FLock);
  FFaults[Call] = TFault{Code, Skip, Times};
  if (!Text.empty())
    FTexts[Code] = Text;
  else if (StandardErrorText(Code) == nullptr && FTexts.count(Code) == 0)
    FTexts[Code] = "Virtual sound card error " + std::to_string(Code);
}

void TVirtualSoundCard::ClearFault(const std::string& Call) {
  TLock Lock(FLock);
  FFaults.erase(Call);
}

void TVirtualSoundCard::ClearFaults() {
  TLock Lock(FLock);
  FFaults.clear();
}

void TVirtualSoundCard::SetErrorText(MMRESULT Code, const std::string& Text) {
  TLock Lock(FLock);
  FTexts[Code] = Text;
}

MMRESULT TVirtualSoundCard::ErrorText(MMRESULT Code, char* Text, uint32_t TextSize) {
  if (Text == nullptr) return MMSYSERR_INVALPARAM;
  auto it = FTexts.find(Code);
  if (it != FTexts.end()) return CopyErrorText(it->second.c_str(), Text, TextSize);
  if (const char* s = StandardErrorText(Code)) return CopyErrorText(s, Text, TextSize);
  CopyErrorText("", Text, TextSize);
  return MMSYSERR_BADERRNUM;
}

MMRESULT TVirtualSoundCard::waveInGetErrorTextA(MMRESULT Code, char* Text, uint32_t TextSize) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("waveInGetErrorTextA")) return r;
  return ErrorText(Code, Text, TextSize);
}

MMRESULT TVirtualSoundCard::waveOutGetErrorTextA(MMRESULT Code, char* Text, uint32_t TextSize) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("waveOutGetErrorTextA")) return r;
  return ErrorText(Code, Text, TextSize);
}

void TVirtualSoundCard::SetDeviceCounts(uint32_t Inputs, uint32_t Outputs, uint32_t Mixers) {
  TLock Lock(FLock);
  FInputs = Inputs;
  FOutputs = Outputs;
  FMixerCount = Mixers;
}

void TVirtualSoundCard::SetOutputCaps(const WAVEOUTCAPSA& Caps) {
  TLock Lock(FLock);
  FOutCaps = Caps;
}

void TVirtualSoundCard::SetInputCaps(const WAVEINCAPSA& Caps) {
  TLock Lock(FLock);
  FInCaps = Caps;
}

void TVirtualSoundCard::SetMixerCaps(const MIXERCAPSA& Caps) {
  TLock Lock(FLock);
  FMixerCaps.wMid = Caps.wMid;
  FMixerCaps.wPid = Caps.wPid;
  FMixerCaps.vDriverVersion = Caps.vDriverVersion;
  std::memcpy(FMixerCaps.szPname, Caps.szPname, MAXPNAMELEN);
  FMixerCaps.szPname[MAXPNAMELEN - 1] = 0;
}

void TVirtualSoundCard::SetVolumeSettable(bool Value) {
  TLock Lock(FLock);
  FVolumeSettable = Value;
}

void TVirtualSoundCard::SetHalfDuplex(bool Value) {
  TLock Lock(FLock);
  FHalfDuplex = Value;
}

int TVirtualSoundCard::OpenWaveDevices() const {
  TLock Lock(FLock);
  int n = 0;
  for (auto& [h, d] : FWave) n += d->Closing ? 0 : 1;
  return n;
}

int TVirtualSoundCard::HeldInputBuffers() const {
  TLock Lock(FLock);
  int n = 0;
  for (auto& [h, d] : FWave) n += d->Input ? d->HeldCount : 0;
  return n;
}

int TVirtualSoundCard::HeldOutputBuffers() const {
  TLock Lock(FLock);
  int n = 0;
  for (auto& [h, d] : FWave) n += d->Input ? 0 : d->HeldCount;
  return n;
}

// ---------------------------------------------------------------------------
// Wave devices

uint32_t TVirtualSoundCard::waveInGetNumDevs() {
  TLock Lock(FLock);
  return FInputs;
}

uint32_t TVirtualSoundCard::waveOutGetNumDevs() {
  TLock Lock(FLock);
  return FOutputs;
}

MMRESULT TVirtualSoundCard::waveInGetDevCapsA(uint32_t DeviceID, WAVEINCAPSA* Caps, uint32_t CapsSize) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("waveInGetDevCapsA")) return r;
  if (!(DeviceID < FInputs || (DeviceID == WAVE_MAPPER && FInputs > 0))) return MMSYSERR_BADDEVICEID;
  if (Caps == nullptr || CapsSize != sizeof(WAVEINCAPSA)) return MMSYSERR_INVALPARAM;
  *Caps = FInCaps;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::waveOutGetDevCapsA(uint32_t DeviceID, WAVEOUTCAPSA* Caps, uint32_t CapsSize) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("waveOutGetDevCapsA")) return r;
  if (!(DeviceID < FOutputs || (DeviceID == WAVE_MAPPER && FOutputs > 0))) return MMSYSERR_BADDEVICEID;
  if (Caps == nullptr || CapsSize != sizeof(WAVEOUTCAPSA)) return MMSYSERR_INVALPARAM;
  *Caps = FOutCaps;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::waveOutGetVolume(uint32_t DeviceID, uint32_t* Volume) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("waveOutGetVolume")) return r;
  if (!(DeviceID < FOutputs || (DeviceID == WAVE_MAPPER && FOutputs > 0))) return MMSYSERR_BADDEVICEID;
  if (Volume == nullptr) return MMSYSERR_INVALPARAM;
  *Volume = FVolume;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::waveOutSetVolume(uint32_t DeviceID, uint32_t Volume) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("waveOutSetVolume")) return r;
  if (!(DeviceID < FOutputs || (DeviceID == WAVE_MAPPER && FOutputs > 0))) return MMSYSERR_BADDEVICEID;
  if (FVolumeSettable) FVolume = Volume;
  return MMSYSERR_NOERROR;
}

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
      if (D->DoneHead == nullptr) D->Wake.wait_for(Lock, RealTimeTick);
    } else {
      D->Wake.wait(Lock);
    }
  }
}

// Real-time clock: records or plays the frames due since the last step.
void TVirtualSoundCard::Advance(TWaveDevice& D) {
  const auto Now = std::chrono::steady_clock::now();
  const uint32_t Align = D.Format.nBlockAlign;
  if (!D.ClockRunning) {
    D.ClockRunning = true;
    D.Base = Now;
    D.Frames = 0;
  }
  const uint64_t Due =
      static_cast<uint64_t>(std::chrono::duration<double>(Now - D.Base).count() * D.Format.nSamplesPerSec);
  uint64_t Pending = Due > D.Frames ? Due - D.Frames : 0;
  while (Pending > 0) {
    WAVEHDR* h = D.HeldHead;
    if (h == nullptr) {
      if (D.Input) {
        // Overrun: the frames nobody holds a buffer for are lost.
        for (uint64_t i = 0; i < Pending; ++i) NextSourceSample(D.Format.nSamplesPerSec);
        D.Frames += Pending;
      } else {
        D.ClockRunning = false;  // output idle: the next write starts the clock afresh
      }
      break;
    }
    const uint32_t Capacity = h->dwBufferLength / Align * Align;
    const uint32_t Left = (Capacity - std::min(Capacity, D.Position)) / Align;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(Left, Pending));
    if (D.Input)
      RecordFrames(D, reinterpret_cast<uint8_t*>(h->lpData) + D.Position, n);
    else
      PlayFrames(D, reinterpret_cast<const uint8_t*>(h->lpData) + D.Position, n);
    D.Position += n * Align;
    D.Frames += n;
    Pending -= n;
    if (D.Position >= Capacity) ReturnHead(D, Capacity);
  }
  if (!D.Input && D.HeldHead == nullptr) D.ClockRunning = false;
}

// ---------------------------------------------------------------------------
// Signal path

void TVirtualSoundCard::SetSignalSource(TSignalSource Source) {
  TLock Lock(FLock);
  FSource = Source;
  if (Source == ssLoopback && FLoop.empty()) FLoop.assign(LoopCapacity, 0.0f);
  FLoopRead = FLoopCount = 0;
}

TVirtualSoundCard::TSignalSource TVirtualSoundCard::SignalSource() const {
  TLock Lock(FLock);
  return FSource;
}

bool TVirtualSoundCard::LoadSoundFile(const std::string& FileName, std::string* Error) {
  SF_INFO Info{};
  SNDFILE* File = sf_open(FileName.c_str(), SFM_READ, &Info);
  if (File == nullptr) {
    if (Error) *Error = sf_strerror(nullptr);
    return false;
  }
  std::vector<float> Frames(static_cast<size_t>(Info.frames) * static_cast<size_t>(Info.channels));
  const sf_count_t Read = sf_readf_float(File, Frames.data(), Info.frames);
  sf_close(File);
  if (Read <= 0 || Info.channels <= 0 || Info.samplerate <= 0) {
    if (Error) *Error = "no samples in " + FileName;
    return false;
  }
  std::vector<float> Mono(static_cast<size_t>(Read));
  for (size_t i = 0; i < Mono.size(); ++i) {
    double s = 0;
    for (int c = 0; c < Info.channels; ++c) s += Frames[i * static_cast<size_t>(Info.channels) + static_cast<size_t>(c)];
    Mono[i] = static_cast<float>(s / Info.channels);
  }
  TLock Lock(FLock);
  FFile = std::move(Mono);
  FFileRate = static_cast<uint32_t>(Info.samplerate);
  FFilePos = 0;
  FSource = ssSoundFile;
  return true;
}

void TVirtualSoundCard::SetInputLine(uint32_t Source) {
  TLock Lock(FLock);
  if (Source == SrcRecMicrophone || Source == SrcRecLineIn) FInputLine = Source;
}

// One sample of the signal source, -1 .. 1, at the given rate. The test
// signal is a slow logarithmic sweep (100 Hz up to 4 kHz in 20 s) over a
// steady 1 kHz tone and a little noise.
double TVirtualSoundCard::NextSourceSample(uint32_t Rate) {
  switch (FSource) {
    case ssTestSignal: {
      const double Period = 20.0;
      const double Top = std::min(4000.0, 0.4 * Rate);
      const double f = 100.0 * std::pow(Top / 100.0, FSweepTime / Period);
      FSweepTime += 1.0 / Rate;
      if (FSweepTime >= Period) FSweepTime -= Period;
      FSweepPhase = std::fmod(FSweepPhase + 2 * Pi * f / Rate, 2 * Pi);
      FTonePhase = std::fmod(FTonePhase + 2 * Pi * 1000.0 / Rate, 2 * Pi);
      FNoise = FNoise * 1664525u + 1013904223u;
      const double Noise = (static_cast<double>(FNoise >> 8) / 16777216.0 - 0.5) * 0.04;
      return 0.4 * std::sin(FSweepPhase) + 0.2 * std::sin(FTonePhase) + Noise;
    }
    case ssSoundFile: {
      if (FFile.empty()) return 0;
      const double s = FFile[static_cast<size_t>(FFilePos)];
      FFilePos += static_cast<double>(FFileRate) / Rate;
      while (FFilePos >= static_cast<double>(FFile.size())) FFilePos -= static_cast<double>(FFile.size());
      return s;
    }
    case ssLoopback: {
      if (FLoopCount == 0) return 0;
      const double s = FLoop[FLoopRead];
      FLoopRead = (FLoopRead + 1) % FLoop.size();
      --FLoopCount;
      return s;
    }
    case ssSilence:
      break;
  }
  return 0;
}

namespace {

// Full scale is 1.0 = 32768 (128), as sound files read; +1.0 clips to the
// largest sample, so a 16-bit file records unchanged.
inline uint8_t Quantise8(double x) {
  return static_cast<uint8_t>(std::clamp(std::lround(x * 128.0) + 128, 0L, 255L));
}
inline int16_t Quantise16(double x) {
  return static_cast<int16_t>(std::clamp(std::lround(x * 32768.0), -32768L, 32767L));
}

}  // namespace

void TVirtualSoundCard::RecordFrames(TWaveDevice& D, uint8_t* Data, uint32_t Frames) {
  const uint32_t Channels = D.Format.nChannels;
  const bool Wide = D.Format.wBitsPerSample == 16;
  double Gain[2];
  for (uint32_t c = 0; c < 2; ++c)
    Gain[c] = LineGain(DestRecording, OwnLine, c) * LineGain(DestRecording, FInputLine, c);
  int32_t Peak[2] = {0, 0};
  for (uint32_t i = 0; i < Frames; ++i) {
    const double x = NextSourceSample(D.Format.nSamplesPerSec);
    for (uint32_t c = 0; c < Channels; ++c) {
      const double y = x * Gain[c];
      if (Wide) {
        const int16_t v = Quantise16(y);
        std::memcpy(Data, &v, 2);
        Data += 2;
        Peak[c] = std::max<int32_t>(Peak[c], std::abs(static_cast<int32_t>(v)));
      } else {
        const uint8_t v = Quantise8(y);
        *Data++ = v;
        Peak[c] = std::max<int32_t>(Peak[c], std::abs(static_cast<int32_t>(v) - 128) * 256);
      }
    }
  }
  if (Channels == 1) Peak[1] = Peak[0];
  if (TControl* m = const_cast<TControl*>(LineControl(DestRecording, OwnLine, MIXERCONTROL_CONTROLTYPE_PEAKMETER)))
    for (int c = 0; c < 2; ++c) m->Value[c] = std::min(Peak[c], 32767);
}

void TVirtualSoundCard::PlayFrames(TWaveDevice& D, const uint8_t* Data, uint32_t Frames) {
  const uint32_t Channels = D.Format.nChannels;
  const bool Wide = D.Format.wBitsPerSample == 16;
  double WaveGain[2], Gain[2];
  for (uint32_t c = 0; c < 2; ++c) {
    WaveGain[c] = LineGain(DestPlayback, SrcWave, c);
    const uint32_t Volume = c == 0 ? (FVolume & 0xFFFF) : (FVolume >> 16);
    Gain[c] = WaveGain[c] * LineGain(DestPlayback, OwnLine, c) * (Volume / 65535.0);
  }
  const bool Keep =
      FKeepPlayed && FPlayed.size() + static_cast<size_t>(Frames) * D.Format.nBlockAlign <= PlayedLimit;
  int32_t WavePeak[2] = {0, 0}, Peak[2] = {0, 0};
  for (uint32_t i = 0; i < Frames; ++i) {
    double Mono = 0;
    for (uint32_t c = 0; c < Channels; ++c) {
      double x;
      if (Wide) {
        int16_t s;
        std::memcpy(&s, Data, 2);
        Data += 2;
        x = s;
      } else {
        x = (static_cast<int>(*Data++) - 128) * 256.0;
      }
      const double y = x * Gain[c];
      WavePeak[c] = std::max<int32_t>(WavePeak[c], static_cast<int32_t>(std::fabs(x * WaveGain[c])));
      if (Wide) {
        const int16_t v = static_cast<int16_t>(std::clamp(std::lround(y), -32768L, 32767L));
        Peak[c] = std::max<int32_t>(Peak[c], std::abs(static_cast<int32_t>(v)));
        Mono += v / 32768.0;
        if (Keep) {
          uint8_t b[2];
          std::memcpy(b, &v, 2);
          FPlayed.insert(FPlayed.end(), b, b + 2);
        }
      } else {
        const long q = std::clamp(std::lround(y / 256.0), -128L, 127L);
        Peak[c] = std::max<int32_t>(Peak[c], static_cast<int32_t>(std::labs(q) * 256));
        Mono += q / 128.0;
        if (Keep) FPlayed.push_back(static_cast<uint8_t>(q + 128));
      }
    }
    if (FSource == ssLoopback && !FLoop.empty()) {
      const size_t Write = (FLoopRead + FLoopCount) % FLoop.size();
      FLoop[Write] = static_cast<float>(Mono / Channels);
      if (FLoopCount < FLoop.size())
        ++FLoopCount;
      else
        FLoopRead = (FLoopRead + 1) % FLoop.size();
    }
  }
  if (Channels == 1) {
    Peak[1] = Peak[0];
    WavePeak[1] = WavePeak[0];
  }
  if (TControl* m = const_cast<TControl*>(LineControl(DestPlayback, OwnLine, MIXERCONTROL_CONTROLTYPE_PEAKMETER)))
    for (int c = 0; c < 2; ++c) m->Value[c] = std::min(Peak[c], 32767);
  if (TControl* m = const_cast<TControl*>(LineControl(DestPlayback, SrcWave, MIXERCONTROL_CONTROLTYPE_PEAKMETER)))
    for (int c = 0; c < 2; ++c) m->Value[c] = std::min(WavePeak[c], 32767);
}

std::vector<uint8_t> TVirtualSoundCard::Played() const {
  TLock Lock(FLock);
  return FPlayed;
}

WAVEFORMATEX TVirtualSoundCard::PlayedFormat() const {
  TLock Lock(FLock);
  return FPlayedFormat;
}

void TVirtualSoundCard::ClearPlayed() {
  TLock Lock(FLock);
  FPlayed.clear();
}

void TVirtualSoundCard::SetKeepPlayed(bool Keep) {
  TLock Lock(FLock);
  FKeepPlayed = Keep;
  if (!Keep) std::vector<uint8_t>().swap(FPlayed);
}

// ---------------------------------------------------------------------------
// Manual clock

namespace {
// Bytes of whole frames the device's head buffer holds.
template <class TDevice>
uint32_t HeadCapacity(const TDevice& D) {
  const uint32_t Align = D.Format.nBlockAlign;
  return D.HeldHead->dwBufferLength / Align * Align;
}
}  // namespace

void TVirtualSoundCard::WaitAllDelivered(TLock& Lock) {
  FDelivered.wait(Lock, [this] {
    for (auto& [h, d] : FWave)
      if (!d->Idle()) return false;
    return true;
  });
}

int TVirtualSoundCard::FillInput(int Count) {
  TLock Lock(FLock);
  if (FClock != ckManual) return 0;
  int n = 0;
  for (int i = 0; i < Count; ++i)
    for (auto& [h, d] : FWave) {
      TWaveDevice& D = *d;
      if (!D.Input || !D.Started || D.Gone || D.Closing || D.HeldHead == nullptr) continue;
      const uint32_t Capacity = HeadCapacity(D);
      const uint32_t Left = (Capacity - std::min(Capacity, D.Position)) / D.Format.nBlockAlign;
      RecordFrames(D, reinterpret_cast<uint8_t*>(D.HeldHead->lpData) + D.Position, Left);
      ReturnHead(D, Capacity);
      ++n;
    }
  WaitAllDelivered(Lock);
  return n;
}

int TVirtualSoundCard::ReturnInput(uint32_t Bytes) {
  TLock Lock(FLock);
  if (FClock != ckManual) return 0;
  int n = 0;
  for (auto& [h, d] : FWave) {
    TWaveDevice& D = *d;
    if (!D.Input || !D.Started || D.Gone || D.Closing || D.HeldHead == nullptr) continue;
    const uint32_t Align = D.Format.nBlockAlign;
    const uint32_t Capacity = HeadCapacity(D);
    const uint32_t Want = std::max(D.Position, std::min(Capacity, Bytes / Align * Align));
    RecordFrames(D, reinterpret_cast<uint8_t*>(D.HeldHead->lpData) + D.Position, (Want - D.Position) / Align);
    ReturnHead(D, Want);
    ++n;
  }
  WaitAllDelivered(Lock);
  return n;
}

int TVirtualSoundCard::FinishOutput(int Count) {
  TLock Lock(FLock);
  if (FClock != ckManual) return 0;
  int n = 0;
  for (int i = 0; i < Count; ++i)
    for (auto& [h, d] : FWave) {
      TWaveDevice& D = *d;
      if (D.Input || D.Gone || D.Closing || D.HeldHead == nullptr) continue;
      const uint32_t Capacity = HeadCapacity(D);
      const uint32_t Left = (Capacity - std::min(Capacity, D.Position)) / D.Format.nBlockAlign;
      PlayFrames(D, reinterpret_cast<const uint8_t*>(D.HeldHead->lpData) + D.Position, Left);
      ReturnHead(D, 0);
      ++n;
    }
  WaitAllDelivered(Lock);
  return n;
}

// ---------------------------------------------------------------------------
// Vanishing devices

void TVirtualSoundCard::Vanish(bool Input) {
  TLock Lock(FLock);
  for (auto& [h, d] : FWave) {
    if (d->Input != Input || d->Closing) continue;
    d->Gone = true;
    ReturnAllHeld(*d);
    d->Started = false;
    d->ClockRunning = false;
    d->Wake.notify_one();
  }
  if (Input)
    FInputs = 0;
  else
    FOutputs = 0;
  FDelivered.wait(Lock, [this] {
    for (auto& [h, d] : FWave)
      if (!d->Idle()) return false;
    return true;
  });
}

void TVirtualSoundCard::VanishInput() { Vanish(true); }
void TVirtualSoundCard::VanishOutput() { Vanish(false); }

// ---------------------------------------------------------------------------
// Mixer

void TVirtualSoundCard::BuildMixer() {
  struct TSpec {
    const char* Name;
    const char* Short;
    uint32_t Destination, Source, Type, Channels;
    bool Mute, Meter;
  };
  const TSpec Specs[] = {
      {"Volume Control", "Volume", DestPlayback, OwnLine, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, 2, true, true},
      {"Wave", "Wave", DestPlayback, SrcWave, MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, 2, true, true},
      {"Microphone", "Mic", DestPlayback, SrcPlayMicrophone, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, 1, true, false},
      {"Line In", "Line", DestPlayback, SrcPlayLineIn, MIXERLINE_COMPONENTTYPE_SRC_LINE, 2, true, false},
      {"CD Audio", "CD", DestPlayback, SrcCDAudio, MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC, 2, false, false},
      {"Recording Control", "Recording", DestRecording, OwnLine, MIXERLINE_COMPONENTTYPE_DST_WAVEIN, 2, false, true},
      {"Microphone", "Mic", DestRecording, SrcRecMicrophone, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, 1, true, false},
      {"Line In", "Line", DestRecording, SrcRecLineIn, MIXERLINE_COMPONENTTYPE_SRC_LINE, 2, true, false},
  };
  uint32_t NextID = 1;
  for (const TSpec& s : Specs) {
    TLine Line;
    Line.Name = s.Name;
    Line.ShortName = s.Short;
    Line.Destination = s.Destination;
    Line.Source = s.Source;
    Line.ComponentType = s.Type;
    Line.Channels = s.Channels;
    Line.LineID = s.Source == OwnLine ? (0xFFFF0000u | s.Destination) : (((s.Source + 1) << 16) | s.Destination);
    const size_t Index = FLines.size();
    auto Add = [&](uint32_t Type, uint32_t Channels, int32_t Value) {
      TControl c;
      c.ID = NextID++;
      c.Type = Type;
      c.Line = Index;
      c.Channels = Channels;
      c.Value[0] = c.Value[1] = Value;
      FControls.push_back(c);
      Line.Controls.push_back(c.ID);
    };
    Add(MIXERCONTROL_CONTROLTYPE_VOLUME, s.Channels, 65535);
    if (s.Mute) Add(MIXERCONTROL_CONTROLTYPE_MUTE, 1, 0);
    if (s.Meter) Add(MIXERCONTROL_CONTROLTYPE_PEAKMETER, s.Channels, 0);
    FLines.push_back(std::move(Line));
  }
  for (TLine& d : FLines)
    if (d.Source == OwnLine)
      for (const TLine& s : FLines)
        if (s.Source != OwnLine && s.Destination == d.Destination) ++d.Connections;
}

const TVirtualSoundCard::TLine* TVirtualSoundCard::FindLine(const MIXERLINEA& Line, uint32_t Flags) const {
  for (const TLine& l : FLines) {
    switch (Flags) {
      case MIXER_GETLINEINFOF_DESTINATION:
        if (l.Source == OwnLine && l.Destination == Line.dwDestination) return &l;
        break;
      case MIXER_GETLINEINFOF_SOURCE:
        if (l.Source != OwnLine && l.Destination == Line.dwDestination && l.Source == Line.dwSource) return &l;
        break;
      case MIXER_GETLINEINFOF_LINEID:
        if (l.LineID == Line.dwLineID) return &l;
        break;
      default:
        return nullptr;
    }
  }
  return nullptr;
}

TVirtualSoundCard::TControl* TVirtualSoundCard::FindControl(uint32_t ControlID) {
  for (TControl& c : FControls)
    if (c.ID == ControlID) return &c;
  return nullptr;
}

const TVirtualSoundCard::TControl* TVirtualSoundCard::FindControl(uint32_t ControlID) const {
  for (const TControl& c : FControls)
    if (c.ID == ControlID) return &c;
  return nullptr;
}

const TVirtualSoundCard::TControl* TVirtualSoundCard::LineControl(uint32_t Destination, uint32_t Source,
                                                                  uint32_t ControlType) const {
  for (const TControl& c : FControls) {
    const TLine& l = FLines[c.Line];
    if (c.Type == ControlType && l.Destination == Destination && l.Source == Source) return &c;
  }
  return nullptr;
}

// The factor a line's volume and mute put on a channel's signal.
double TVirtualSoundCard::LineGain(uint32_t Destination, uint32_t Source, uint32_t Channel) const {
  double g = 1.0;
  if (const TControl* v = LineControl(Destination, Source, MIXERCONTROL_CONTROLTYPE_VOLUME))
    g = static_cast<uint32_t>(v->Value[std::min(Channel, v->Channels - 1)]) / 65535.0;
  if (const TControl* m = LineControl(Destination, Source, MIXERCONTROL_CONTROLTYPE_MUTE))
    if (m->Value[0] != 0) g = 0;
  return g;
}

uint32_t TVirtualSoundCard::ControlID(uint32_t Destination, uint32_t Source, uint32_t ControlType) const {
  TLock Lock(FLock);
  const TControl* c = LineControl(Destination, Source, ControlType);
  return c ? c->ID : 0;
}

int32_t TVirtualSoundCard::ControlValue(uint32_t ControlID, uint32_t Channel) const {
  TLock Lock(FLock);
  const TControl* c = FindControl(ControlID);
  return c ? c->Value[std::min(Channel, c->Channels - 1)] : 0;
}

bool TVirtualSoundCard::SetControlValue(uint32_t ControlID, const std::vector<uint32_t>& Values) {
  TLock Lock(FLock);
  TControl* c = FindControl(ControlID);
  if (c == nullptr || c->Type == MIXERCONTROL_CONTROLTYPE_PEAKMETER || Values.empty()) return false;
  ChangeControl(Lock, *c, Values.data(), static_cast<uint32_t>(std::min<size_t>(Values.size(), 2)));
  return true;
}

// Stores new values; when they differ, every open mixer handle is told, and
// the call returns after those notifications have run.
void TVirtualSoundCard::ChangeControl(TLock& Lock, TControl& Control, const uint32_t* Values, uint32_t Count) {
  bool Changed = false;
  for (uint32_t ch = 0; ch < Control.Channels; ++ch) {
    uint32_t v = Values[Count == 1 ? 0 : std::min(ch, Count - 1)];
    if (Control.Type == MIXERCONTROL_CONTROLTYPE_MUTE) v = v != 0;
    const auto nv = static_cast<int32_t>(v);
    if (Control.Value[ch] != nv) Changed = true;
    Control.Value[ch] = nv;
  }
  if (Control.Channels == 1) Control.Value[1] = Control.Value[0];
  if (!Changed) return;
  const uint32_t ID = Control.ID;
  for (auto& [h, m] : FMixers) {
    if (m->Callback == nullptr || m->Quit) continue;
    if (std::find(m->Pending, m->Pending + m->PendingCount, ID) != m->Pending + m->PendingCount) continue;
    if (m->PendingCount < static_cast<int>(std::size(m->Pending))) m->Pending[m->PendingCount++] = ID;
    m->Wake.notify_one();
  }
  FDelivered.wait(Lock, [this] {
    for (auto& [h, m] : FMixers)
      if (m->PendingCount > 0 || m->InCallback) return false;
    return true;
  });
}

void TVirtualSoundCard::MixerThread(TMixerHandle* M) {
  TLock Lock(FLock);
  for (;;) {
    if (M->PendingCount > 0) {
      const uint32_t ID = M->Pending[0];
      std::copy(M->Pending + 1, M->Pending + M->PendingCount, M->Pending);
      --M->PendingCount;
      M->InCallback = true;
      TMixerProc Callback = M->Callback;
      const uintptr_t Handle = M->Handle, Instance = M->Instance;
      Lock.unlock();
      Callback(Handle, MM_MIXM_CONTROL_CHANGE, Instance, Handle, ID);
      Lock.lock();
      M->InCallback = false;
      FDelivered.notify_all();
      continue;
    }
    if (M->Quit) break;
    M->Wake.wait(Lock);
  }
}

TVirtualSoundCard::TMixerHandle* TVirtualSoundCard::FindMixer(uintptr_t Handle) {
  auto it = FMixers.find(Handle);
  return it == FMixers.end() || it->second->Quit ? nullptr : it->second.get();
}

uint32_t TVirtualSoundCard::mixerGetNumDevs() {
  TLock Lock(FLock);
  return FMixerCount;
}

MMRESULT TVirtualSoundCard::mixerGetDevCapsA(uint32_t MixerID, MIXERCAPSA* Caps, uint32_t CapsSize) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerGetDevCapsA")) return r;
  if (MixerID >= FMixerCount) return MMSYSERR_BADDEVICEID;
  if (Caps == nullptr || CapsSize != sizeof(MIXERCAPSA)) return MMSYSERR_INVALPARAM;
  *Caps = FMixerCaps;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::mixerOpen(HMIXER* Handle, uint32_t MixerID, TMixerProc Callback, uintptr_t Instance,
                                      uint32_t Flags) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerOpen")) return r;
  if (MixerID >= FMixerCount) return MMSYSERR_BADDEVICEID;
  if (Handle == nullptr) return MMSYSERR_INVALPARAM;
  const uint32_t Kind = Flags & 0x00070000u;
  if (Kind == CALLBACK_FUNCTION) {
    if (Callback == nullptr) return MMSYSERR_INVALPARAM;
  } else if (Kind != CALLBACK_NULL) {
    return MMSYSERR_INVALFLAG;
  }
  auto Mixer = std::make_unique<TMixerHandle>();
  TMixerHandle* M = Mixer.get();
  M->Handle = FNextHandle++;
  M->Callback = Kind == CALLBACK_FUNCTION ? Callback : nullptr;
  M->Instance = Instance;
  if (M->Callback) M->Thread = std::thread(&TVirtualSoundCard::MixerThread, this, M);
  FMixers[M->Handle] = std::move(Mixer);
  *Handle = M->Handle;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::mixerClose(HMIXER Handle) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerClose")) return r;
  TMixerHandle* M = FindMixer(Handle);
  if (M == nullptr) return MMSYSERR_INVALHANDLE;
  M->Quit = true;
  M->PendingCount = 0;
  M->Wake.notify_one();
  FDelivered.wait(Lock, [&] { return !M->InCallback; });
  std::thread Thread = std::move(M->Thread);
  auto Node = FMixers.extract(Handle);
  Lock.unlock();
  if (Thread.joinable()) Thread.join();
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::mixerGetLineInfoA(HMIXER Handle, MIXERLINEA* Line, uint32_t Flags) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerGetLineInfoA")) return r;
  if (FindMixer(Handle) == nullptr) return MMSYSERR_INVALHANDLE;
  if (Line == nullptr || Line->cbStruct != sizeof(MIXERLINEA)) return MMSYSERR_INVALPARAM;
  if (Flags > MIXER_GETLINEINFOF_LINEID) return MMSYSERR_INVALFLAG;
  const TLine* l = FindLine(*Line, Flags);
  if (l == nullptr) return MIXERR_INVALLINE;
  Line->dwDestination = l->Destination;
  Line->dwSource = l->Source == OwnLine ? 0 : l->Source;
  Line->dwLineID = l->LineID;
  Line->fdwLine = MIXERLINE_LINEF_ACTIVE | (l->Source == OwnLine ? 0u : uint32_t{MIXERLINE_LINEF_SOURCE});
  Line->dwUser = 0;
  Line->dwComponentType = l->ComponentType;
  Line->cChannels = l->Channels;
  Line->cConnections = l->Source == OwnLine ? l->Connections : 0;
  Line->cControls = static_cast<uint32_t>(l->Controls.size());
  CopyName(Line->szShortName, MIXER_SHORT_NAME_CHARS, l->ShortName);
  CopyName(Line->szName, MIXER_LONG_NAME_CHARS, l->Name);
  Line->Target = {};
  Line->Target.dwType = 0;
  CopyName(Line->Target.szPname, MAXPNAMELEN, FMixerCaps.szPname);
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::mixerGetLineControlsA(HMIXER Handle, MIXERLINECONTROLSA* Controls, uint32_t Flags) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerGetLineControlsA")) return r;
  if (FindMixer(Handle) == nullptr) return MMSYSERR_INVALHANDLE;
  if (Controls == nullptr || Controls->cbStruct != sizeof(MIXERLINECONTROLSA) ||
      Controls->cbmxctrl != sizeof(MIXERCONTROLA) || Controls->pamxctrl == nullptr)
    return MMSYSERR_INVALPARAM;
  auto Fill = [&](const TControl& c, MIXERCONTROLA& Out) {
    Out = MIXERCONTROLA{};
    Out.dwControlID = c.ID;
    Out.dwControlType = c.Type;
    switch (c.Type) {
      case MIXERCONTROL_CONTROLTYPE_VOLUME:
        CopyName(Out.szShortName, MIXER_SHORT_NAME_CHARS, "Vol");
        CopyName(Out.szName, MIXER_LONG_NAME_CHARS, FLines[c.Line].Name + " Volume");
        Out.Bounds.lMaximum = 65535;
        Out.Metrics.cSteps = 65536;
        break;
      case MIXERCONTROL_CONTROLTYPE_MUTE:
        Out.fdwControl = MIXERCONTROL_CONTROLF_UNIFORM;
        CopyName(Out.szShortName, MIXER_SHORT_NAME_CHARS, "Mute");
        CopyName(Out.szName, MIXER_LONG_NAME_CHARS, FLines[c.Line].Name + " Mute");
        Out.Bounds.lMaximum = 1;
        Out.Metrics.cSteps = 2;
        break;
      default:
        CopyName(Out.szShortName, MIXER_SHORT_NAME_CHARS, "Peak");
        CopyName(Out.szName, MIXER_LONG_NAME_CHARS, FLines[c.Line].Name + " Peak Meter");
        Out.Bounds.lMinimum = -32768;
        Out.Bounds.lMaximum = 32767;
        break;
    }
  };
  switch (Flags) {
    case MIXER_GETLINECONTROLSF_ALL: {
      MIXERLINEA Key;
      Key.dwLineID = Controls->dwLineID;
      const TLine* l = FindLine(Key, MIXER_GETLINEINFOF_LINEID);
      if (l == nullptr) return MIXERR_INVALLINE;
      if (Controls->cControls != l->Controls.size() || l->Controls.empty()) return MMSYSERR_INVALPARAM;
      for (size_t i = 0; i < l->Controls.size(); ++i) Fill(*FindControl(l->Controls[i]), Controls->pamxctrl[i]);
      return MMSYSERR_NOERROR;
    }
    case MIXER_GETLINECONTROLSF_ONEBYID: {
      const TControl* c = FindControl(Controls->dwControlID);
      if (c == nullptr) return MIXERR_INVALCONTROL;
      Controls->dwLineID = FLines[c->Line].LineID;
      Fill(*c, Controls->pamxctrl[0]);
      return MMSYSERR_NOERROR;
    }
    case MIXER_GETLINECONTROLSF_ONEBYTYPE: {
      MIXERLINEA Key;
      Key.dwLineID = Controls->dwLineID;
      const TLine* l = FindLine(Key, MIXER_GETLINEINFOF_LINEID);
      if (l == nullptr) return MIXERR_INVALLINE;
      for (uint32_t id : l->Controls) {
        const TControl* c = FindControl(id);
        if (c->Type == Controls->dwControlType) {
          Fill(*c, Controls->pamxctrl[0]);
          return MMSYSERR_NOERROR;
        }
      }
      return MIXERR_INVALCONTROL;
    }
    default:
      return MMSYSERR_INVALFLAG;
  }
}

MMRESULT TVirtualSoundCard::mixerGetControlDetailsA(HMIXER Handle, MIXERCONTROLDETAILS* Details, uint32_t Flags) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerGetControlDetailsA")) return r;
  if (FindMixer(Handle) == nullptr) return MMSYSERR_INVALHANDLE;
  if (Flags != MIXER_GETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
  if (Details == nullptr || Details->cbStruct != sizeof(MIXERCONTROLDETAILS) || Details->cbDetails != 4 ||
      Details->cMultipleItems != 0 || Details->paDetails == nullptr)
    return MMSYSERR_INVALPARAM;
  const TControl* c = FindControl(Details->dwControlID);
  if (c == nullptr) return MIXERR_INVALCONTROL;
  if (Details->cChannels < 1 || Details->cChannels > FLines[c->Line].Channels) return MMSYSERR_INVALPARAM;
  auto* Out = static_cast<int32_t*>(Details->paDetails);
  for (uint32_t ch = 0; ch < Details->cChannels; ++ch) Out[ch] = c->Value[std::min(ch, c->Channels - 1)];
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::mixerSetControlDetails(HMIXER Handle, const MIXERCONTROLDETAILS* Details,
                                                   uint32_t Flags) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerSetControlDetails")) return r;
  if (FindMixer(Handle) == nullptr) return MMSYSERR_INVALHANDLE;
  if (Flags != MIXER_SETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
  if (Details == nullptr || Details->cbStruct != sizeof(MIXERCONTROLDETAILS) || Details->cbDetails != 4 ||
      Details->cMultipleItems != 0 || Details->paDetails == nullptr)
    return MMSYSERR_INVALPARAM;
  TControl* c = FindControl(Details->dwControlID);
  if (c == nullptr) return MIXERR_INVALCONTROL;
  if (c->Type == MIXERCONTROL_CONTROLTYPE_PEAKMETER) return MMSYSERR_NOTSUPPORTED;
  if (Details->cChannels < 1 || Details->cChannels > FLines[c->Line].Channels) return MMSYSERR_INVALPARAM;
  uint32_t Values[2] = {0, 0};
  const auto* In = static_cast<const uint32_t*>(Details->paDetails);
  const uint32_t Count = std::min<uint32_t>(Details->cChannels, 2);
  for (uint32_t ch = 0; ch < Count; ++ch) {
    Values[ch] = In[ch];
    if (c->Type == MIXERCONTROL_CONTROLTYPE_VOLUME && Values[ch] > 65535) return MIXERR_INVALVALUE;
  }
  ChangeControl(Lock, *c, Values, Count);
  return MMSYSERR_NOERROR;
}

}  // namespace quellmarin
