#include "audio/LiveOutput.h"

#include <algorithm>
#include <cstring>

namespace quellmarin {

TLiveOutput::TLiveOutput(TSoundSystem& SoundSystem, uint32_t DeviceID, const WAVEFORMATEX& Format,
                         int32_t ChunkFrames, int32_t Chunks)
    : FSoundSystem(SoundSystem), FDeviceID(DeviceID), FFormat(Format), FChunkFrames(std::max(1, ChunkFrames)),
      FChunks(std::max(2, Chunks)) {
  FHeaders.resize(static_cast<size_t>(FChunks));
  FData.resize(static_cast<size_t>(FChunks) * static_cast<size_t>(FChunkFrames) * std::max<uint16_t>(1, FFormat.nChannels));
  FErrorText.reserve(MAXERRORLENGTH + 64);
}

TLiveOutput::~TLiveOutput() { Close(); }

void TLiveOutput::SetError(const char* Step, MMRESULT Code) {
  char text[MAXERRORLENGTH] = {};
  FSoundSystem.waveOutGetErrorTextA(Code, text, sizeof(text));
  FErrorText.assign(Step);
  FErrorText.append(text);
}

MMRESULT TLiveOutput::Open() {
  Close();
  FNextChunk = 0;
  FWrittenFrames = 0;
  FOverflowed = 0;
  FDoneChunks = 0;
  FDoneFrames = 0;
  HWAVEOUT handle = 0;
  MMRESULT r = FSoundSystem.waveOutOpen(&handle, FDeviceID, &FFormat, &TLiveOutput::Callback,
                                        reinterpret_cast<uintptr_t>(this), CALLBACK_FUNCTION);
  if (r != MMSYSERR_NOERROR) {
    SetError("Could not open the output device for playing: ", r);
    return r;
  }
  FHandle = handle;
  const size_t samples = static_cast<size_t>(FChunkFrames) * std::max<uint16_t>(1, FFormat.nChannels);
  for (int32_t i = 0; i < FChunks; ++i) {
    WAVEHDR& h = FHeaders[static_cast<size_t>(i)];
    h = WAVEHDR{};
    h.lpData = reinterpret_cast<char*>(FData.data() + samples * static_cast<size_t>(i));
    h.dwBufferLength = static_cast<uint32_t>(samples * sizeof(int16_t));
    r = FSoundSystem.waveOutPrepareHeader(FHandle, &h, sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) {
      SetError("Error preparing header for playing: ", r);
      Close();
      return r;
    }
  }
  return MMSYSERR_NOERROR;
}

void TLiveOutput::Close() {
  if (FHandle == 0) return;
  FSoundSystem.waveOutReset(FHandle);
  for (WAVEHDR& h : FHeaders) FSoundSystem.waveOutUnprepareHeader(FHandle, &h, sizeof(WAVEHDR));
  FSoundSystem.waveOutClose(FHandle);
  FHandle = 0;
}

void TLiveOutput::Callback(HWAVEOUT, uint32_t Msg, uintptr_t Instance, uintptr_t Param1, uintptr_t) {
  if (Msg != MM_WOM_DONE) return;
  auto* self = reinterpret_cast<TLiveOutput*>(Instance);
  const auto* h = reinterpret_cast<const WAVEHDR*>(Param1);
  const int64_t frames = h->dwBufferLength / std::max<uint16_t>(1, self->FFormat.nBlockAlign);
  // Frames first: the producer reads the chunk count to find a free chunk,
  // and the backlog from the frames.
  self->FDoneFrames.fetch_add(frames, std::memory_order_acq_rel);
  self->FDoneChunks.fetch_add(1, std::memory_order_release);
}

MMRESULT TLiveOutput::WriteChunk(const int16_t* Data, int32_t Frames) {
  if (FHandle == 0) return MMSYSERR_INVALHANDLE;
  if (FNextChunk - FDoneChunks.load(std::memory_order_acquire) >= FChunks) {
    FOverflowed += Frames;
    return MMSYSERR_NOERROR;
  }
  WAVEHDR& h = FHeaders[static_cast<size_t>(FNextChunk % FChunks)];
  const size_t samples = static_cast<size_t>(Frames) * std::max<uint16_t>(1, FFormat.nChannels);
  if (Data)
    std::memcpy(h.lpData, Data, samples * sizeof(int16_t));
  else
    std::memset(h.lpData, 0, samples * sizeof(int16_t));
  h.dwBufferLength = static_cast<uint32_t>(samples * sizeof(int16_t));
  FWrittenFrames += Frames;
  ++FNextChunk;
  const MMRESULT r = FSoundSystem.waveOutWrite(FHandle, &h, sizeof(WAVEHDR));
  if (r != MMSYSERR_NOERROR) {
    // Not held by the device: it will never be done.
    FWrittenFrames -= Frames;
    --FNextChunk;
    SetError("Error writing to the output device: ", r);
  }
  return r;
}

MMRESULT TLiveOutput::Write(const int16_t* Data, int32_t Frames) {
  const int32_t channels = std::max<uint16_t>(1, FFormat.nChannels);
  while (Frames > 0) {
    const int32_t n = std::min(Frames, FChunkFrames);
    const MMRESULT r = WriteChunk(Data, n);
    if (r != MMSYSERR_NOERROR) return r;
    if (Data) Data += static_cast<ptrdiff_t>(n) * channels;
    Frames -= n;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT TLiveOutput::WriteSilence(int32_t Frames) { return Write(nullptr, Frames); }

}  // namespace quellmarin
