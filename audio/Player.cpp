#include "audio/Player.h"

#include <chrono>
#include <thread>

#include "audio/Audio.h"

namespace quellmarin {

TPlayer::TPlayer(TAudio* Owner) : TAudioSettings(Owner) {
  FActive = false;
  FBitsPerSample = _8;
  FNoSamples = 8192;
  FChannels = Mono;
  FSampleRate = 11025;
  FFeedWindow = std::make_unique<TAudioWindow>(Owner->MessageQueue(),
                                               [this](const TMessage& m) { FeedMessage(m); });
  FCloseWindow = std::make_unique<TAudioWindow>(Owner->MessageQueue(),
                                                [this](const TMessage& m) { CloseMessage(m); });
}

TPlayer::~TPlayer() {
  if (FDeviceOpen) {
    // A close that failed earlier: try once more so that no callback reaches a
    // freed player.
    TSoundSystem& s = FAudio->SoundSystem();
    s.waveOutReset(FHandle);
    for (int i = 0; i < BufferCount; ++i)
      if (FHeaders[i]) s.waveOutUnprepareHeader(FHandle, FHeaders[i].get(), sizeof(WAVEHDR));
    s.waveOutClose(FHandle);
  }
  FFeedWindow.reset();
  FCloseWindow.reset();
}

MMRESULT TPlayer::GetErrorText(MMRESULT Code, char* Text, uint32_t TextSize) {
  return FAudio->SoundSystem().waveOutGetErrorTextA(Code, Text, TextSize);
}

bool TPlayer::Open() {
  if (FDeviceOpen) return true;
  if (!BuffersComplete()) {
    FAudio->SetErrorMessage("No wave buffers for playing");
    return false;
  }
  FQueueIndex = 0;
  FDoneIndex = 1;
  FOutstanding = 0;
  ++FGeneration;
  MMRESULT r = FAudio->SoundSystem().waveOutOpen(&FHandle, FAudio->OutputDeviceID(), FWaveFormat.get(),
                                                 &TPlayer::OutputCallback, reinterpret_cast<uintptr_t>(this),
                                                 CALLBACK_FUNCTION | WAVE_ALLOWSYNC);
  if (r != MMSYSERR_NOERROR) {
    SetDeviceError(r, "Could not open the output device for playing: ");
    return false;
  }
  FDeviceOpen = true;
  ResetHeaders();
  return true;
}

void TPlayer::Play(const TMemoryStream* Stream, const TMemoryStream* RightStream, uint16_t Loops) {
  if (!Open()) return;
  if (Stream == nullptr || Stream->Size() == 0) return;
  if (!FQueue) {
    FQueue = std::make_unique<TMemoryStream>();
    FLoops = Loops;
    FReadPos = 0;
  }
  FQueue->SetPosition(FQueue->Size());
  if (FChannels == Stereo && RightStream != nullptr && RightStream->Size() == Stream->Size())
    AppendInterleaved(*Stream, *RightStream);
  else
    FQueue->Write(Stream->Memory(), Stream->Size());
  // Hand buffers over while ring slots are free. Buffers still with the device
  // pull the rest as they finish.
  for (int i = 0; i < BufferCount && FQueue && FOutstanding.load() < BufferCount; ++i) QueueNextBuffer();
}

void TPlayer::AppendInterleaved(const TMemoryStream& Left, const TMemoryStream& Right) {
  const uint8_t* l = Left.Memory();
  const uint8_t* r = Right.Memory();
  const size_t width = FBitsPerSample == _16 ? 2 : 1;
  const size_t samples = Left.Size() / width;
  size_t fill = 0;
  for (size_t i = 0; i < samples; ++i) {
    for (size_t b = 0; b < width; ++b) FStaging[fill++] = l[i * width + b];
    for (size_t b = 0; b < width; ++b) FStaging[fill++] = r[i * width + b];
    if (fill == sizeof(FStaging)) {
      FQueue->Write(FStaging, fill);
      fill = 0;
    }
  }
  if (fill > 0) FQueue->Write(FStaging, fill);
}

int32_t TPlayer::QueueNextBuffer() {
  if (!FQueue) return 0;
  // Every slot is with the device: the next one to finish pulls this data.
  if (FOutstanding.load() >= BufferCount) return 0;
  const int32_t slot = FQueueIndex;
  char* data = FData[slot].get();
  size_t n = FQueue->ReadAt(FReadPos, data, FBufferBytes);
  FReadPos += n;
  if (n == 0 && FLoops > 0) {
    --FLoops;
    n = FQueue->ReadAt(0, data, FBufferBytes);
    FReadPos = n;
  }
  if (n == 0) {
    FQueue.reset();
    return 0;
  }
  // Without a replay left, what has been played is no longer needed: drop it
  // once it is at least as much as what is left, so that a long run keeps
  // only its unplayed data and the copying stays linear.
  if (FLoops == 0 && FReadPos * 2 >= FQueue->Size()) {
    FQueue->DeleteFront(FReadPos);
    FReadPos = 0;
  }

  WAVEHDR& h = *FHeaders[slot];
  h.dwBufferLength = static_cast<uint32_t>(n);
  h.dwFlags = 0;
  h.dwLoops = 0;
  TSoundSystem& s = FAudio->SoundSystem();
  MMRESULT r = s.waveOutPrepareHeader(FHandle, &h, sizeof(WAVEHDR));
  if (r != MMSYSERR_NOERROR) {
    SetDeviceError(r, "");
    return static_cast<int32_t>(n);
  }
  // Counted before the write: the buffer may finish before the write returns.
  const int32_t before = FOutstanding.fetch_add(1);
  r = s.waveOutWrite(FHandle, &h, sizeof(WAVEHDR));
  if (r != MMSYSERR_NOERROR) {
    const int32_t now = FOutstanding.fetch_sub(1) - 1;
    SetDeviceError(r, "");
    // The others finished meanwhile, the last of them counting this one:
    // nobody asked for the close.
    if (before > 0 && now == 0) RequestClose();
    return static_cast<int32_t>(n);
  }
  FQueueIndex = (slot + 1) % BufferCount;
  return static_cast<int32_t>(n);
}

void TPlayer::OutputCallback(HWAVEOUT, uint32_t Msg, uintptr_t Instance, uintptr_t, uintptr_t) {
  auto* self = reinterpret_cast<TPlayer*>(Instance);
  switch (Msg) {
    case MM_WOM_OPEN: self->FActive = true; break;
    case MM_WOM_CLOSE: self->FActive = false; break;
    case MM_WOM_DONE:
      if (self->FActive) self->HandleDone();
      break;
    default: break;
  }
}

void TPlayer::HandleDone() {
  FDoneIndex = (FDoneIndex.load() + 1) % BufferCount;
  const int32_t left = FOutstanding.fetch_sub(1) - 1;
  if (left > 0) {
    if (FAudio->OnBufferPlayed) FAudio->OnBufferPlayed(this);
    FFeedWindow->Post(MM_WOM_DONE, FGeneration.load());
  } else {
    // The last buffer written has finished: the run is over unless a Play
    // writes more before the request is handled.
    FCloseWindow->Post(MM_WOM_CLOSE, FGeneration.load());
  }
}

void TPlayer::RequestClose() { FCloseWindow->Post(MM_WOM_CLOSE, FGeneration.load()); }

void TPlayer::FeedMessage(const TMessage& Message) {
  if (Message.Msg != MM_WOM_DONE) return;
  if (Message.WParam != FGeneration.load() || !FDeviceOpen) return;
  QueueNextBuffer();
}

void TPlayer::CloseMessage(const TMessage& Message) {
  if (Message.Msg != MM_WOM_CLOSE) return;
  if (Message.WParam != FGeneration.load()) return;  // a request of a run already closed
  // A Play handled after the request was posted has written new buffers: they
  // play, and the last of them asks for the close again.
  if (FDeviceOpen && FOutstanding.load() > 0) return;
  CloseDevice();
}

void TPlayer::CloseDevice() {
  if (!FDeviceOpen) {
    FAudio->SetErrorMessage("Player already closed");
    return;
  }
  TSoundSystem& s = FAudio->SoundSystem();
  for (int i = 0; i < BufferCount; ++i) {
    MMRESULT r = s.waveOutUnprepareHeader(FHandle, FHeaders[i].get(), sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) {
      SetDeviceError(r, "Error unpreparing header for playing: ");
      return;
    }
  }
  MMRESULT r = s.waveOutClose(FHandle);
  if (r != MMSYSERR_NOERROR) {
    SetDeviceError(r, "Error closing output device: ");
    return;
  }
  FDeviceOpen = false;
  FHandle = 0;
  // Requests still posted for this run are now stale.
  ++FGeneration;
  if (FAudio->OnPlayed) FAudio->OnPlayed(this);
}

void TPlayer::Stop() {
  if (!FDeviceOpen) {
    FAudio->SetErrorMessage("Player already closed");
    return;
  }
  if (FQueue) {
    FQueue.reset();
    FAudio->SetErrorMessage("");
  }
  if (FOutstanding.load() > 0) {
    // Every held buffer comes back as finished; the last one asks for the
    // close before the reset returns.
    MMRESULT r = FAudio->SoundSystem().waveOutReset(FHandle);
    if (r != MMSYSERR_NOERROR) {
      FAudio->SetErrorMessage("Error in waveOutReset");
      return;
    }
  }
  TMessageQueue& queue = FAudio->MessageQueue();
  for (;;) {
    queue.ProcessMessages();
    if (!FDeviceOpen) break;
    if (FOutstanding.load() == 0) {
      // Nothing outstanding and still open: the device was idle, or its close
      // failed (then this tries once more and leaves the reason).
      CloseDevice();
      break;
    }
    // A Play run from the queue above has written buffers: they finish first.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TPlayer::GetVolume(uint16_t& Left, uint16_t& Right) {
  uint32_t value = 0;
  MMRESULT r = FAudio->SoundSystem().waveOutGetVolume(FAudio->OutputDeviceID(), &value);
  if (r != MMSYSERR_NOERROR) SetDeviceError(r, "");
  Left = static_cast<uint16_t>(value & 0xFFFF);
  Right = static_cast<uint16_t>(value >> 16);
}

void TPlayer::SetVolume(uint16_t Left, uint16_t Right) {
  const uint32_t value = static_cast<uint32_t>(Right) * 65536u + Left;
  MMRESULT r = FAudio->SoundSystem().waveOutSetVolume(FAudio->OutputDeviceID(), value);
  if (r != MMSYSERR_NOERROR) SetDeviceError(r, "");
}

}  // namespace quellmarin
