#pragma once
// A TAudio on a virtual sound card with the manual clock, and the UI thread's
// message queue, pumped by the test's thread.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/Audio.h"
#include "soundsystem/virtual/VirtualSoundCard.h"

namespace quellmarin::testing {

class AudioFixture : public ::testing::Test {
protected:
  AudioFixture() {
    Audio = std::make_unique<TAudio>(nullptr, Card, Queue);
    Audio->OnBufferPlayed = [this](TPersistent*) { ++BufferPlayed; };
    Audio->OnPlayed = [this](TPersistent*) { ++Played; };
  }
  ~AudioFixture() override {
    // Devices must close normally before the component goes.
    Card.ClearFaults();
    Audio.reset();
    TAudioSettings::InjectAllocationFault(-1);
  }

  // 16-bit mono, 20 000 per second, 2000 frames per block (4000 bytes).
  void LiveFormat(TChannels Channels = Mono, TBPS Bits = _16) {
    Audio->Recorder()->SetSampleRate(20000);
    Audio->Recorder()->SetNoSamples(2000);
    Audio->Recorder()->SetChannels(Channels);
    Audio->Recorder()->SetBitsPerSample(Bits);
  }
  int Pump() { return Queue.ProcessMessages(); }

  TVirtualSoundCard Card{TVirtualSoundCard::ckManual};
  TMessageQueue Queue;
  std::unique_ptr<TAudio> Audio;
  std::atomic<int> BufferPlayed{0};
  int Played = 0;
};

// Bytes 0, 1, 2, ... from Start, wrapping at 251 so that blocks differ.
inline TMemoryStream Pattern(size_t Size, unsigned Start = 0) {
  TMemoryStream s;
  for (size_t i = 0; i < Size; ++i) {
    const uint8_t b = static_cast<uint8_t>((Start + i) % 251);
    s.Write(&b, 1);
  }
  return s;
}

inline std::vector<uint8_t> Bytes(const TMemoryStream& s) { return {s.Memory(), s.Memory() + s.Size()}; }

}  // namespace quellmarin::testing
