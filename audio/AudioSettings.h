#pragma once
// Types shared by the audio layer and TAudioSettings, the common base of the
// recorder and the player: one PCM wave format and the ring of 20 wave buffers
// built from it.
//
// Threads: everything here runs on the UI thread, except where a method says
// otherwise.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/MessageQueue.h"
#include "soundsystem/SoundSystem.h"

namespace quellmarin {

class TAudio;

// Base of the audio layer's settings objects (recorder, player, mixer); the
// Sender of the layer's events.
class TPersistent {
public:
  virtual ~TPersistent() = default;
};

enum TChannels { Mono = 0, Stereo = 1 };
enum TBPS { _8 = 0, _16 = 1 };

// A recorded block is ready: LP the left (or only) channel's samples, RP the
// right channel's when the channels are split (else nullptr), BufferSize the
// bytes of LP (0: the device returned an empty buffer).
using TNotifyAudioRecordEvent =
    std::function<void(TPersistent* Sender, void* LP, void* RP, uint16_t BufferSize)>;
using TNotifyBufferPlayedEvent = std::function<void(TPersistent* Sender)>;
using TNotifyPlayedEvent = std::function<void(TPersistent* Sender)>;
using TNotifyMixerChange = std::function<void(TPersistent* Sender, uint16_t Destination, uint16_t Source)>;

// Message number the system sends when the session ends (log-off, shutdown).
constexpr uint32_t WM_QUERYENDSESSION = 17;

// A hidden message window: a target on the UI thread's message queue that
// passes its messages to a handler. Post may be called from any thread; it
// neither blocks on the UI thread nor allocates.
class TAudioWindow final : public TMessageTarget {
public:
  using THandler = std::function<void(const TMessage& Message)>;
  TAudioWindow(TMessageQueue& Queue, THandler Handler) : FQueue(Queue), FHandler(std::move(Handler)) {}
  ~TAudioWindow() override { FQueue.RemoveTarget(this); }
  TAudioWindow(const TAudioWindow&) = delete;
  TAudioWindow& operator=(const TAudioWindow&) = delete;

  bool Post(uint32_t Msg, uintptr_t WParam = 0, intptr_t LParam = 0) {
    return FQueue.PostMessage(this, Msg, WParam, LParam);
  }
  void HandleMessage(const TMessage& Message) override { FHandler(Message); }

private:
  TMessageQueue& FQueue;
  THandler FHandler;
};

class TAudioSettings : public TPersistent {
public:
  static constexpr int BufferCount = 20;

  explicit TAudioSettings(TAudio* Owner);
  ~TAudioSettings() override;
  TAudioSettings(const TAudioSettings&) = delete;
  TAudioSettings& operator=(const TAudioSettings&) = delete;

  // Format properties. With the component's SeparateCtrls False a setter
  // acts on the player and then the recorder; each object rebuilds its
  // buffers when its own value changes. Setting the current value does
  // nothing. A change is refused (ErrorMessage set) for an object whose
  // device is open.
  TChannels Channels() const { return FChannels; }
  void SetChannels(TChannels Value);
  TBPS BitsPerSample() const { return FBitsPerSample; }
  void SetBitsPerSample(TBPS Value);
  uint16_t SampleRate() const { return FSampleRate; }
  void SetSampleRate(uint16_t Value);
  // Sample frames per buffer, common to recorder and player (set through
  // TRecorder::SetNoSamples).
  uint16_t NoSamples() const { return FNoSamples; }

  // Builds the format record and the 20 headers, data and split buffers from
  // the current format. False, with ErrorMessage set, when memory runs out or
  // a buffer would exceed 65535 bytes; what was built stays in place.
  bool AllocateBuffers();
  // Frees the format record and every buffer (nothing without a format record).
  void ReleaseBuffers();
  // Points every header at its data buffer with the full length and clears
  // the rest of it.
  void ResetHeaders();
  // ErrorMessage := Prefix + " " + the sound system's text for Code, or Prefix
  // alone when there is no text.
  void SetDeviceError(MMRESULT Code, const std::string& Prefix);

  // Read-only views for the component, the capability report and tests.
  uint16_t BufferBytes() const { return FBufferBytes; }
  const WAVEFORMATEX* WaveFormat() const { return FWaveFormat.get(); }
  // Every slot has its header, data and split buffer.
  bool BuffersComplete() const;
  bool DeviceOpen() const { return FDeviceOpen; }
  // Set between the device's open and close notifications (any thread).
  bool Active() const { return FActive.load(); }
  TAudio* Audio() const { return FAudio; }

  // Tests: the allocation Skip allocations from now (0: the next; in the
  // order format, then per slot header, data, split) fails once. -1 clears.
  static void InjectAllocationFault(int Skip);

protected:
  friend class TAudio;
  friend class TRecorder;  // SetNoSamples acts on the player too

  // Stores the value and rebuilds when it differs from this object's own.
  void ApplyChannels(TChannels Value);
  void ApplyBitsPerSample(TBPS Value);
  void ApplySampleRate(uint16_t Value);
  void ApplyNoSamples(uint16_t Value);
  // ReleaseBuffers then AllocateBuffers.
  void Rebuild();
  // Refuses a format change while the device is open.
  bool CanChangeFormat();
  virtual MMRESULT GetErrorText(MMRESULT Code, char* Text, uint32_t TextSize) = 0;

  TAudio* FAudio;  // not owned
  std::unique_ptr<WAVEHDR> FHeaders[BufferCount];
  std::unique_ptr<char[]> FData[BufferCount];
  std::unique_ptr<char[]> FSplitData[BufferCount];
  std::atomic<int32_t> FQueueIndex{0};
  std::atomic<int32_t> FDoneIndex{0};
  bool FDeviceOpen = false;
  TChannels FChannels = Mono;
  TBPS FBitsPerSample = _8;
  uint16_t FSampleRate = 11025;
  uint16_t FNoSamples = 8192;
  std::unique_ptr<WAVEFORMATEX> FWaveFormat;
  uint16_t FBufferBytes = 0;
  std::atomic<bool> FActive{false};
  // Counts the device's opens; posted messages carry it so that a message of
  // an earlier run is not taken for one of the current run.
  std::atomic<uint32_t> FGeneration{0};
};

}  // namespace quellmarin
