// The virtual sound card: construction and shutdown, and the properties it
// reports (device counts, capabilities, output volume). The other parts of
// the card live beside this file: VirtualFaults.cpp (fault table, error
// texts, vanishing devices), VirtualWaveDevices.cpp (opening, buffers,
// notifications), VirtualClocks.cpp (real-time and manual clocks),
// VirtualSignalSource.cpp (what the input records), VirtualSignalPath.cpp
// (frames through the mixer's volumes, what the output played) and
// VirtualMixer.cpp.

#include "soundsystem/virtual/VirtualSoundCard.h"
#include "soundsystem/virtual/VirtualCardDetail.h"

#include <thread>
#include <utility>
#include <vector>

namespace quellmarin {

TVirtualSoundCard::TVirtualSoundCard(TClock Clock) : FClock(Clock) {
  FOutCaps.wMid = 1;
  FOutCaps.wPid = 1;
  FOutCaps.vDriverVersion = 0x0100;
  virtual_card::CopyName(FOutCaps.szPname, MAXPNAMELEN, "Virtual Sound Card");
  FOutCaps.dwFormats = 0x0FFF;  // every rate, mono and stereo, 8 and 16 bits
  FOutCaps.wChannels = 2;
  FOutCaps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
  FInCaps.wMid = 1;
  FInCaps.wPid = 2;
  FInCaps.vDriverVersion = 0x0100;
  virtual_card::CopyName(FInCaps.szPname, MAXPNAMELEN, "Virtual Sound Card");
  FInCaps.dwFormats = 0x0FFF;
  FInCaps.wChannels = 2;
  FMixerCaps.wMid = 1;
  FMixerCaps.wPid = 3;
  FMixerCaps.vDriverVersion = 0x0100;
  virtual_card::CopyName(FMixerCaps.szPname, MAXPNAMELEN, "Virtual Mixer");
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

TXrunCounts TVirtualSoundCard::XrunCounts() const { return {FOverruns.load(), FUnderruns.load()}; }


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

}  // namespace quellmarin
