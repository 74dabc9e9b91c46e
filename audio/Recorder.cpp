#include "audio/Recorder.h"

#include <cstring>

#include "audio/Audio.h"

namespace quellmarin {

TRecorder::TRecorder(TAudio* Owner) : TAudioSettings(Owner) {
  FActive = false;
  FBitsPerSample = _8;
  FNoSamples = 8192;
  FChannels = Mono;
  FSampleRate = 11025;
  FWindow = std::make_unique<TAudioWindow>(Owner->MessageQueue(),
                                           [this](const TMessage& m) { WindowMessage(m); });
  FTrigLevel = 0;
  FTriggered = false;
}

TRecorder::~TRecorder() {
  if (FDeviceOpen) {
    // A close that failed earlier: try once more so that no callback reaches a
    // freed recorder.
    FActive = false;
    TSoundSystem& s = FAudio->SoundSystem();
    s.waveInReset(FHandle);
    for (int i = 0; i < BufferCount; ++i)
      if (FHeaders[i]) s.waveInUnprepareHeader(FHandle, FHeaders[i].get(), sizeof(WAVEHDR));
    s.waveInClose(FHandle);
  }
  FWindow.reset();
}

MMRESULT TRecorder::GetErrorText(MMRESULT Code, char* Text, uint32_t TextSize) {
  return FAudio->SoundSystem().waveInGetErrorTextA(Code, Text, TextSize);
}

void TRecorder::SetNoSamples(uint16_t Value) {
  FAudio->Player()->ApplyNoSamples(Value);
  ApplyNoSamples(Value);
}

void TRecorder::SetSplitChannels(bool Value) {
  if (FChannels == Stereo) {
    if (FSplitChannels != Value) FSplitChannels = Value;
  } else {
    FSplitChannels = false;
  }
}

bool TRecorder::Open() {
  if (FDeviceOpen) return true;
  if (!BuffersComplete()) {
    FAudio->SetErrorMessage("No wave buffers for recording");
    return false;
  }
  FQueueIndex = 0;
  FDoneIndex = 0;
  ++FGeneration;
  TSoundSystem& s = FAudio->SoundSystem();
  MMRESULT r = s.waveInOpen(&FHandle, FAudio->InputDeviceID(), FWaveFormat.get(), &TRecorder::InputCallback,
                            reinterpret_cast<uintptr_t>(this), CALLBACK_FUNCTION | WAVE_ALLOWSYNC);
  if (r != MMSYSERR_NOERROR) {
    Close();
    SetDeviceError(r, "Could not open the input device for recording: ");
    return false;
  }
  FDeviceOpen = true;
  ResetHeaders();
  for (int i = 0; i < BufferCount; ++i) {
    r = s.waveInPrepareHeader(FHandle, FHeaders[i].get(), sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) {
      Close();
      SetDeviceError(r, "Error preparing header for recording: ");
      return false;
    }
  }
  if (!QueueNextBuffer()) {
    // QueueNextBuffer left the device's own reason: it stays after the caption.
    FAudio->SetErrorMessage("Error adding next input buffer: " + FAudio->ErrorMessage());
    return false;
  }
  return true;
}

bool TRecorder::Start() {
  if (!Open()) return false;
  if (FSink) {
    // Every buffer is with the device before recording begins: from then on
    // only the sink's consumer hands buffers over.
    for (int i = 1; i < BufferCount; ++i) {
      if (!QueueNextBuffer()) {
        FAudio->SetErrorMessage("Error adding next input buffer");
        return false;
      }
    }
  }
  MMRESULT r = FAudio->SoundSystem().waveInStart(FHandle);
  if (r != MMSYSERR_NOERROR) {
    // Closed first, so that a failing close cannot replace the device's reason.
    Close();
    SetDeviceError(r, "Error starting wave record: ");
    return false;
  }
  for (int i = 1; i < BufferCount && !FSink; ++i) {
    if (!QueueNextBuffer()) {
      FAudio->SetErrorMessage("Error adding next input buffer: " + FAudio->ErrorMessage());
      return false;
    }
  }
  return true;
}

MMRESULT TRecorder::RequeueBuffer() {
  const int32_t slot = FQueueIndex;
  const MMRESULT r = FAudio->SoundSystem().waveInAddBuffer(FHandle, FHeaders[slot].get(), sizeof(WAVEHDR));
  if (r == MMSYSERR_NOERROR) FQueueIndex = (slot + 1) % BufferCount;
  return r;
}

bool TRecorder::QueueNextBuffer() {
  const int32_t slot = FQueueIndex;
  MMRESULT r = FAudio->SoundSystem().waveInAddBuffer(FHandle, FHeaders[slot].get(), sizeof(WAVEHDR));
  if (r != MMSYSERR_NOERROR) {
    Stop();
    SetDeviceError(r, "Error adding input buffer");
    return false;
  }
  FQueueIndex = (slot + 1) % BufferCount;
  return true;
}

bool TRecorder::Close() {
  if (!FDeviceOpen) {
    FAudio->SetErrorMessage("Recorder already closed");
    return true;
  }
  // Buffers the reset returns are neither delivered nor handed back.
  FActive = false;
  TSoundSystem& s = FAudio->SoundSystem();
  MMRESULT r = s.waveInReset(FHandle);
  if (r != MMSYSERR_NOERROR) {
    FAudio->SetErrorMessage("Error in waveInReset");
    return false;
  }
  for (int i = 0; i < BufferCount; ++i) {
    r = s.waveInUnprepareHeader(FHandle, FHeaders[i].get(), sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) {
      SetDeviceError(r, "Error in waveInUnprepareHeader");
      return false;
    }
  }
  r = s.waveInClose(FHandle);
  if (r != MMSYSERR_NOERROR) {
    FAudio->SetErrorMessage("Error closing input device");
    return false;
  }
  FDeviceOpen = false;
  FHandle = 0;
  return true;
}

bool TRecorder::Stop() {
  FActive = false;
  return Close();
}

void TRecorder::InputCallback(HWAVEIN, uint32_t Msg, uintptr_t Instance, uintptr_t, uintptr_t) {
  auto* self = reinterpret_cast<TRecorder*>(Instance);
  switch (Msg) {
    case MM_WIM_OPEN: self->FActive = true; break;
    case MM_WIM_CLOSE: self->FActive = false; break;
    case MM_WIM_DATA:
      if (self->FActive) self->HandleData();
      break;
    default: break;
  }
}

void TRecorder::HandleData() {
  // Buffers come back in the order they were handed over, so the returned
  // buffer is the slot this count names.
  const int32_t slot = FDoneIndex.load() % BufferCount;
  char* lp = FData[slot].get();
  char* rp = FSplitData[slot].get();
  const uint32_t recorded = FHeaders[slot]->dwBytesRecorded;
  if (FSink) {
    // Hand-back mode: the consumer tests, processes and hands the slot back.
    if (recorded > 0) FDoneIndex = (slot + 1) % BufferCount;
    FSink->BufferReturned(lp, rp, recorded);
    return;
  }
  uint32_t size = recorded;
  if (!FDiscard && CheckTrigger(lp, size) && FAudio->OnRecord) {
    if (FSplitChannels) {
      SplitChannelData(lp, rp, size);
      FAudio->OnRecord(this, lp, rp, static_cast<uint16_t>(size));
    } else {
      FAudio->OnRecord(this, lp, nullptr, static_cast<uint16_t>(size));
    }
  }
  // The slot goes back to the device from the UI thread, after the handler
  // has returned. An empty buffer is neither handed back nor counted.
  if (recorded > 0) {
    FWindow->Post(MM_WIM_DATA, FGeneration.load());
    FDoneIndex = (slot + 1) % BufferCount;
  }
}

bool TRecorder::CheckTrigger(const void* Block, uint32_t Size) {
  if (!FTriggered && Size > 0) {
    // The level is compared as a signed 16-bit number: levels of 32768 and
    // more are negative.
    const int32_t level = static_cast<int16_t>(FTrigLevel.load());
    const auto* p = static_cast<const uint8_t*>(Block);
    if (FBitsPerSample == _16) {
      for (uint32_t i = 0; i < Size / 2; ++i) {
        int16_t v;
        std::memcpy(&v, p + 2 * i, 2);
        if (v >= level) {
          FTriggered = true;
          break;
        }
      }
    } else {
      for (uint32_t i = 0; i < Size; ++i) {
        if (static_cast<int32_t>(p[i]) >= level) {
          FTriggered = true;
          break;
        }
      }
    }
  }
  return FTriggered;
}

void TRecorder::SplitChannelData(void* LP, void* RP, uint32_t& Size) {
  if (Size == 0) return;
  Size /= 2;
  auto* l = static_cast<uint8_t*>(LP);
  auto* r = static_cast<uint8_t*>(RP);
  if (FBitsPerSample == _8) {
    // The left channel is compacted in place: position i is written only
    // after frame i has been read.
    for (uint32_t i = 0; i < Size; ++i) {
      const uint8_t left = l[2 * i];
      const uint8_t right = l[2 * i + 1];
      l[i] = left;
      r[i] = right;
    }
  } else {
    for (uint32_t i = 0; i < Size / 2; ++i) {
      uint8_t frame[4];
      std::memcpy(frame, l + 4 * i, 4);
      std::memcpy(l + 2 * i, frame, 2);
      std::memcpy(r + 2 * i, frame + 2, 2);
    }
  }
}

void TRecorder::WindowMessage(const TMessage& Message) {
  if (Message.Msg != MM_WIM_DATA) return;
  if (Message.WParam != FGeneration.load() || !FDeviceOpen) return;
  QueueNextBuffer();
}

}  // namespace quellmarin
