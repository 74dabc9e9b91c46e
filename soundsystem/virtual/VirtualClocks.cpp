// The virtual sound card's two clocks: the real-time clock, which records and
// plays the frames due at the device's rate, and the manual clock, on which a
// test says when a buffer fills or finishes.

#include "soundsystem/virtual/VirtualSoundCard.h"
#include "soundsystem/virtual/VirtualCardDetail.h"

#include <algorithm>
#include <chrono>

namespace quellmarin {

// Real-time clock: records or plays the frames due since the last step.
void TVirtualSoundCard::Advance(TWaveDevice& D) {
  const auto Now = std::chrono::steady_clock::now();
  const uint32_t Align = D.Format.nBlockAlign;
  if (!D.ClockRunning) {
    D.ClockRunning = true;
    D.Base = Now;
    D.Frames = 0;
  }
  const uint64_t Due =
      static_cast<uint64_t>(std::chrono::duration<double>(Now - D.Base).count() * D.Format.nSamplesPerSec);
  uint64_t Pending = Due > D.Frames ? Due - D.Frames : 0;
  while (Pending > 0) {
    WAVEHDR* h = D.HeldHead;
    if (h == nullptr) {
      if (D.Input) {
        // Overrun: the frames nobody holds a buffer for are lost.
        for (uint64_t i = 0; i < Pending; ++i) NextSourceSample(D.Format.nSamplesPerSec);
        D.Frames += Pending;
        if (!D.Starved) ++FOverruns;
        D.Starved = true;
      } else {
        D.ClockRunning = false;  // output idle: the next write starts the clock afresh
        D.RanDry = true;
      }
      break;
    }
    const uint32_t Capacity = h->dwBufferLength / Align * Align;
    const uint32_t Left = (Capacity - std::min(Capacity, D.Position)) / Align;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(Left, Pending));
    if (D.Input) {
      RecordFrames(D, reinterpret_cast<uint8_t*>(h->lpData) + D.Position, n);
      if (n > 0) D.Starved = false;
    } else {
      PlayFrames(D, reinterpret_cast<const uint8_t*>(h->lpData) + D.Position, n);
    }
    D.Position += n * Align;
    D.Frames += n;
    Pending -= n;
    if (D.Position >= Capacity) ReturnHead(D, Capacity);
  }
  if (!D.Input && D.HeldHead == nullptr) {
    D.ClockRunning = false;
    D.RanDry = true;
  }
}


namespace {
// Bytes of whole frames the device's head buffer holds.
template <class TDevice>
uint32_t HeadCapacity(const TDevice& D) {
  const uint32_t Align = D.Format.nBlockAlign;
  return D.HeldHead->dwBufferLength / Align * Align;
}
}  // namespace

void TVirtualSoundCard::WaitAllDelivered(TLock& Lock) {
  FDelivered.wait(Lock, [this] {
    for (auto& [h, d] : FWave)
      if (!d->Idle()) return false;
    return true;
  });
}

int TVirtualSoundCard::FillInput(int Count) {
  TLock Lock(FLock);
  if (FClock != ckManual) return 0;
  int n = 0;
  for (int i = 0; i < Count; ++i)
    for (auto& [h, d] : FWave) {
      TWaveDevice& D = *d;
      if (!D.Input || !D.Started || D.Gone || D.Closing || D.HeldHead == nullptr) continue;
      const uint32_t Capacity = HeadCapacity(D);
      const uint32_t Left = (Capacity - std::min(Capacity, D.Position)) / D.Format.nBlockAlign;
      RecordFrames(D, reinterpret_cast<uint8_t*>(D.HeldHead->lpData) + D.Position, Left);
      ReturnHead(D, Capacity);
      ++n;
    }
  WaitAllDelivered(Lock);
  return n;
}

int TVirtualSoundCard::ReturnInput(uint32_t Bytes) {
  TLock Lock(FLock);
  if (FClock != ckManual) return 0;
  int n = 0;
  for (auto& [h, d] : FWave) {
    TWaveDevice& D = *d;
    if (!D.Input || !D.Started || D.Gone || D.Closing || D.HeldHead == nullptr) continue;
    const uint32_t Align = D.Format.nBlockAlign;
    const uint32_t Capacity = HeadCapacity(D);
    const uint32_t Want = std::max(D.Position, std::min(Capacity, Bytes / Align * Align));
    RecordFrames(D, reinterpret_cast<uint8_t*>(D.HeldHead->lpData) + D.Position, (Want - D.Position) / Align);
    ReturnHead(D, Want);
    ++n;
  }
  WaitAllDelivered(Lock);
  return n;
}

int TVirtualSoundCard::FinishOutput(int Count) {
  TLock Lock(FLock);
  if (FClock != ckManual) return 0;
  int n = 0;
  for (int i = 0; i < Count; ++i)
    for (auto& [h, d] : FWave) {
      TWaveDevice& D = *d;
      if (D.Input || D.Gone || D.Closing || D.HeldHead == nullptr) continue;
      const uint32_t Capacity = HeadCapacity(D);
      const uint32_t Left = (Capacity - std::min(Capacity, D.Position)) / D.Format.nBlockAlign;
      PlayFrames(D, reinterpret_cast<const uint8_t*>(D.HeldHead->lpData) + D.Position, Left);
      ReturnHead(D, 0);
      ++n;
    }
  WaitAllDelivered(Lock);
  return n;
}

}  // namespace quellmarin
