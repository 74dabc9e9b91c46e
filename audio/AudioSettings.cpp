#include "audio/AudioSettings.h"

#include <new>

#include "audio/Audio.h"

namespace quellmarin {

namespace {

// Allocation fault for tests: the allocation this many allocations from now
// fails once; negative: none.
std::atomic<int> AllocationFault{-1};

bool AllocationFails() {
  int n = AllocationFault.load();
  if (n < 0) return false;
  AllocationFault.store(n - 1);
  return n == 0;
}

template <class T>
std::unique_ptr<T> AllocateOne() {
  if (AllocationFails()) return nullptr;
  return std::unique_ptr<T>(new (std::nothrow) T{});
}

std::unique_ptr<char[]> AllocateBytes(size_t Count) {
  if (AllocationFails()) return nullptr;
  // One spare byte so that a zero-sized buffer still has an address.
  return std::unique_ptr<char[]>(new (std::nothrow) char[Count + 1]());
}

}  // namespace

void TAudioSettings::InjectAllocationFault(int Skip) { AllocationFault.store(Skip); }

TAudioSettings::TAudioSettings(TAudio* Owner) : FAudio(Owner) {}

TAudioSettings::~TAudioSettings() = default;

bool TAudioSettings::AllocateBuffers() {
  FWaveFormat = AllocateOne<WAVEFORMATEX>();
  if (!FWaveFormat) {
    FAudio->SetErrorMessage("Not enough memory to allocate WaveFormat");
    return false;
  }
  const uint16_t channels = FChannels == Stereo ? 2 : 1;
  const uint16_t bytes = FBitsPerSample == _16 ? 2 : 1;
  WAVEFORMATEX& f = *FWaveFormat;
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = FSampleRate;
  f.nBlockAlign = static_cast<uint16_t>(channels * bytes);
  f.nAvgBytesPerSec = static_cast<uint32_t>(FSampleRate) * f.nBlockAlign;
  f.wBitsPerSample = static_cast<uint16_t>(8 * bytes);
  f.cbSize = 0;

  const uint32_t total = static_cast<uint32_t>(FNoSamples) * f.nBlockAlign;
  if (total > 0xFFFF) {
    // The ring's byte counts are 16 bits wide; such a ring is not built and
    // the device cannot be opened until the format fits.
    FBufferBytes = 0;
    FAudio->SetErrorMessage("Wave buffer larger than 65535 bytes");
    return false;
  }
  FBufferBytes = static_cast<uint16_t>(total);

  for (int i = 0; i < BufferCount; ++i) {
    FHeaders[i] = AllocateOne<WAVEHDR>();
    if (!FHeaders[i]) {
      FAudio->SetErrorMessage("Not enough memory to allocate WaveHeader");
      return false;
    }
    FData[i] = AllocateBytes(FBufferBytes);
    if (FData[i]) FSplitData[i] = AllocateBytes(FBufferBytes / 2);
    if (!FData[i] || !FSplitData[i]) {
      FAudio->SetErrorMessage("Not enough memory to allocate Wave Buffer");
      return false;
    }
    FHeaders[i]->lpData = FData[i].get();
  }
  return true;
}

void TAudioSettings::ReleaseBuffers() {
  if (!FWaveFormat) return;
  FWaveFormat.reset();
  for (int i = 0; i < BufferCount; ++i) {
    FData[i].reset();
    FSplitData[i].reset();
    FHeaders[i].reset();
  }
}

bool TAudioSettings::BuffersComplete() const {
  if (!FWaveFormat) return false;
  for (int i = 0; i < BufferCount; ++i)
    if (!FHeaders[i] || !FData[i] || !FSplitData[i]) return false;
  return true;
}

void TAudioSettings::ResetHeaders() {
  for (int i = 0; i < BufferCount; ++i) {
    if (!FHeaders[i]) continue;
    WAVEHDR& h = *FHeaders[i];
    h.lpData = FData[i].get();
    h.dwBufferLength = FBufferBytes;
    h.dwBytesRecorded = 0;
    h.dwUser = 0;
    h.dwFlags = 0;
    h.dwLoops = 0;
    h.lpNext = nullptr;
    h.reserved = 0;
  }
}

void TAudioSettings::SetDeviceError(MMRESULT Code, const std::string& Prefix) {
  char text[512] = {};
  GetErrorText(Code, text, 255);
  if (text[0] != '\0')
    FAudio->SetErrorMessage(Prefix + " " + text);
  else
    FAudio->SetErrorMessage(Prefix);
}

void TAudioSettings::Rebuild() {
  ReleaseBuffers();
  AllocateBuffers();
}

bool TAudioSettings::CanChangeFormat() {
  if (!FDeviceOpen) return true;
  FAudio->SetErrorMessage("The wave format cannot change while the device is open");
  return false;
}

void TAudioSettings::ApplyChannels(TChannels Value) {
  if (FChannels == Value || !CanChangeFormat()) return;
  FChannels = Value;
  Rebuild();
}

void TAudioSettings::ApplyBitsPerSample(TBPS Value) {
  if (FBitsPerSample == Value || !CanChangeFormat()) return;
  FBitsPerSample = Value;
  Rebuild();
}

void TAudioSettings::ApplySampleRate(uint16_t Value) {
  if (FSampleRate == Value || !CanChangeFormat()) return;
  FSampleRate = Value;
  Rebuild();
}

void TAudioSettings::ApplyNoSamples(uint16_t Value) {
  if (FNoSamples == Value || !CanChangeFormat()) return;
  FNoSamples = Value;
  Rebuild();
}

void TAudioSettings::SetChannels(TChannels Value) {
  if (FChannels == Value) return;
  if (FAudio->SeparateCtrls()) {
    ApplyChannels(Value);
  } else {
    FAudio->Player()->ApplyChannels(Value);
    FAudio->Recorder()->ApplyChannels(Value);
  }
  // Split channels exist only in stereo.
  TRecorder* r = FAudio->Recorder();
  r->SetSplitChannels(r->SplitChannels());
}

void TAudioSettings::SetBitsPerSample(TBPS Value) {
  if (FBitsPerSample == Value) return;
  if (FAudio->SeparateCtrls()) {
    ApplyBitsPerSample(Value);
  } else {
    FAudio->Player()->ApplyBitsPerSample(Value);
    FAudio->Recorder()->ApplyBitsPerSample(Value);
  }
}

void TAudioSettings::SetSampleRate(uint16_t Value) {
  if (FSampleRate == Value) return;
  if (FAudio->SeparateCtrls()) {
    ApplySampleRate(Value);
  } else {
    FAudio->Player()->ApplySampleRate(Value);
    FAudio->Recorder()->ApplySampleRate(Value);
  }
}

}  // namespace quellmarin
