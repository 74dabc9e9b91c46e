// The virtual sound card's fault injection: the fault table every call
// consults, the error texts, and devices that vanish mid-run.

#include "soundsystem/virtual/VirtualSoundCard.h"
#include "soundsystem/virtual/VirtualCardDetail.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace quellmarin {

namespace {

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

}  // namespace

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

}  // namespace quellmarin
