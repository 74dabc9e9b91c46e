#pragma once
// TRecorder: records from the wave input device into the ring of 20 buffers
// and hands every returned buffer to the component's OnRecord.
//
// Sample block (OnRecord's LP, RP, BufferSize; the player plays the same
// layout):
//   Mono                      LP the samples, RP nullptr, BufferSize the bytes
//   Stereo, SplitChannels off LP interleaved frames (left, right), RP nullptr,
//                             BufferSize the bytes of both channels
//   Stereo, SplitChannels on  LP the left samples, RP the right samples,
//                             BufferSize the bytes of one channel
// 8-bit samples are unsigned (128 is zero), 16-bit samples signed little-endian.
//
// Threads
//   * Start, Stop, Open, Close, the setters and the hand-back of buffers run on
//     the UI thread.
//   * OnRecord runs on the sound system's callback thread, synchronously,
//     before the slot is handed back. LP and RP stay valid and untouched by the
//     layer until the handler has returned and the recorder's own posted
//     message has been handled on the UI thread; the handler may overwrite them
//     in place. The handler must not wait on the UI thread and must call
//     nothing of the recorder but Triggered / SetTriggered.
//   * Triggered may be read and written from either thread.
//
// Hand-back mode (SetSink, while stopped): the recorder raises no OnRecord and
// posts nothing. Every buffer the device returns during a run goes, raw and
// untested, to the sink on the callback thread; the sink's consumer runs the
// trigger test and the channel split itself (CheckTrigger, SplitChannelData)
// and hands each slot back with RequeueBuffer, in the order the buffers came
// back, from one thread of its own. Start then hands all 20 buffers to the
// device before recording begins, so that the consumer is the only one that
// hands buffers over while the run lasts.

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/AudioSettings.h"

namespace quellmarin {

// Receives the recorder's returned buffers in hand-back mode. Callback
// thread: must not block, allocate or call the sound system.
class TRecordSink {
public:
  virtual ~TRecordSink() = default;
  // LP (and RP, the split buffer of the slot) stay untouched by the recorder
  // until the slot is handed back. Bytes 0 marks an empty buffer: the device
  // has stopped delivering (it vanished or was reset).
  virtual void BufferReturned(char* LP, char* RP, uint32_t Bytes) = 0;
};

class TRecorder : public TAudioSettings {
public:
  explicit TRecorder(TAudio* Owner);
  ~TRecorder() override;

  // Opens the device if needed, starts recording and hands all 20 buffers to
  // the device.
  bool Start();
  // Ends delivery and closes the device (the result of Close).
  bool Stop();
  // Opens the device, prepares the headers and hands slot 0 over, without
  // starting.
  bool Open();
  // Resets the device, unprepares the headers and closes it. Buffers the reset
  // returns are not delivered.
  bool Close();

  // Acts on recorder and player together, whatever SeparateCtrls says.
  void SetNoSamples(uint16_t Value);

  bool SplitChannels() const { return FSplitChannels.load(); }
  // Stores Value while Channels is Stereo, otherwise False.
  void SetSplitChannels(bool Value);
  uint16_t TrigLevel() const { return FTrigLevel.load(); }
  void SetTrigLevel(uint16_t Value) { FTrigLevel.store(Value); }
  // False arms the trigger; the first sample at or above TrigLevel sets it.
  bool Triggered() const { return FTriggered.load(); }
  void SetTriggered(bool Value) { FTriggered.store(Value); }

  // Hand-back mode: Sink receives every returned buffer (nullptr: the usual
  // OnRecord and UI-thread hand-back). Set only while the device is closed.
  void SetSink(TRecordSink* Sink) { FSink = Sink; }
  TRecordSink* Sink() const { return FSink; }
  // Hand-back mode, the sink's consumer thread: hands the next slot back to
  // the device. Returns the device's code; on failure nothing is stopped and
  // ErrorMessage is not touched (the consumer reports it).
  MMRESULT RequeueBuffer();
  HWAVEIN Handle() const { return FHandle; }

  // Internal, UI thread: hands the slot FQueueIndex to the device.
  bool QueueNextBuffer();
  // Internal, callback thread: the trigger test on a block of Size bytes, and
  // the in-place split of interleaved stereo into LP (left) and RP (right);
  // Size becomes the bytes of one channel.
  bool CheckTrigger(const void* Block, uint32_t Size);
  void SplitChannelData(void* LP, void* RP, uint32_t& Size);

protected:
  MMRESULT GetErrorText(MMRESULT Code, char* Text, uint32_t TextSize) override;

private:
  friend class TAudio;  // the capability report sets FDiscard

  static void InputCallback(HWAVEIN Handle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1,
                            uintptr_t Param2);
  void HandleData();
  void WindowMessage(const TMessage& Message);

  HWAVEIN FHandle = 0;
  TRecordSink* FSink = nullptr;
  std::atomic<bool> FDiscard{false};
  std::atomic<bool> FSplitChannels{false};
  std::atomic<uint16_t> FTrigLevel{0};
  std::atomic<bool> FTriggered{false};
  std::unique_ptr<TAudioWindow> FWindow;
};

}  // namespace quellmarin
