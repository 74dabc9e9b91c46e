#pragma once
// TPlayer: plays sample blocks (the recorder's block layout, with the player's
// own Channels and BitsPerSample) through the wave output device. Play appends
// to a play queue; up to 20 ring buffers are with the device at a time, each
// refilled from the queue when it finishes. When the queue has run dry and the
// last buffer has finished, the device is closed and OnPlayed raised.
//
// Threads
//   * Play, Open, Stop, the volume calls and every handler of the player's
//     posted messages run on the UI thread.
//   * OnBufferPlayed runs on the sound system's callback thread; it must not
//     wait on the UI thread nor call the player.
//   * OnPlayed runs on the UI thread (from a posted message, or inside Stop).
//   * Stop pumps the UI thread's message queue while it waits, so other posted
//     handlers (a Play among them) may run inside it.

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/AudioSettings.h"
#include "audio/MemoryStream.h"

namespace quellmarin {

class TPlayer : public TAudioSettings {
public:
  explicit TPlayer(TAudio* Owner);
  ~TPlayer() override;

  // Opens the device if needed and appends Stream (or, in stereo with an equal
  // sized RightStream, the two interleaved) to the play queue, and hands
  // buffers to the device while ring slots are free. Loops is taken only when
  // a new queue starts: the whole queue is replayed that many more times once
  // it has run dry. The streams are read from their start; their positions are
  // not used. Failures are left in ErrorMessage.
  void Play(const TMemoryStream* Stream, const TMemoryStream* RightStream, uint16_t Loops);
  // Opens the output device without writing a buffer.
  bool Open();
  // Discards the queue, stops output and returns when the device is closed
  // (or could not be closed; ErrorMessage then says why).
  void Stop();
  // Output volume of OutputDeviceID, 0 .. 65535 per channel.
  void GetVolume(uint16_t& Left, uint16_t& Right);
  void SetVolume(uint16_t Left, uint16_t Right);

  // Asks for the device to be closed from the UI thread's message queue: the
  // capability report's way to close the device after its duplex test.
  void RequestClose();

  // Bytes held in the play queue (0 without a queue) and ring buffers the
  // device holds: for the owner's diagnostics and tests.
  size_t QueuedBytes() const { return FQueue ? FQueue->Size() : 0; }
  int Outstanding() const { return FOutstanding.load(); }

  // Internal, UI thread: writes the next buffer from the queue; the bytes read.
  int32_t QueueNextBuffer();
  // Internal, UI thread: unprepares the headers, closes the device, raises
  // OnPlayed.
  void CloseDevice();

protected:
  MMRESULT GetErrorText(MMRESULT Code, char* Text, uint32_t TextSize) override;

private:
  static void OutputCallback(HWAVEOUT Handle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1,
                             uintptr_t Param2);
  void HandleDone();
  void FeedMessage(const TMessage& Message);
  void CloseMessage(const TMessage& Message);
  void AppendInterleaved(const TMemoryStream& Left, const TMemoryStream& Right);

  HWAVEOUT FHandle = 0;
  uint16_t FLoops = 0;
  size_t FReadPos = 0;
  std::unique_ptr<TMemoryStream> FQueue;
  // Buffers written to the device and not yet finished. Raised on the UI
  // thread before a write, lowered by the output callback; the buffer that
  // brings it to 0 was the last one written and asks for the close.
  std::atomic<int32_t> FOutstanding{0};
  std::unique_ptr<TAudioWindow> FFeedWindow;
  std::unique_ptr<TAudioWindow> FCloseWindow;
  uint8_t FStaging[1000];
};

}  // namespace quellmarin
