#pragma once
// The virtual sound card's inner records, shared by the files that make up
// the card (VirtualSoundCard.cpp and the Virtual*.cpp beside it). Not for
// callers: they use VirtualSoundCard.h.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "soundsystem/virtual/VirtualSoundCard.h"

namespace quellmarin {

namespace virtual_card {

// How often a device thread on the real-time clock records or plays the
// frames that have come due.
constexpr auto RealTimeTick = std::chrono::milliseconds(5);

// Name into a fixed, 0-terminated field of Size characters, cut to fit.
inline void CopyName(char* Target, size_t Size, const std::string& Name) {
  std::memset(Target, 0, Size);
  std::memcpy(Target, Name.data(), std::min(Name.size(), Size - 1));
}

}  // namespace virtual_card

struct TVirtualSoundCard::TWaveDevice {
  bool Input = false;
  uint32_t DeviceID = 0;
  uintptr_t Handle = 0;
  WAVEFORMATEX Format{};
  TWaveInProc Callback = nullptr;
  uintptr_t Instance = 0;

  bool Started = false;  // input: recording
  bool Gone = false;     // vanished
  bool Closing = false;  // close under way: the handle no longer answers

  // Buffers the device holds, oldest first, and those returned but not yet
  // notified; both are linked through the header's lpNext.
  WAVEHDR* HeldHead = nullptr;
  WAVEHDR* HeldTail = nullptr;
  int HeldCount = 0;
  WAVEHDR* DoneHead = nullptr;
  WAVEHDR* DoneTail = nullptr;
  uint32_t Position = 0;  // bytes recorded into / played from the oldest held buffer

  bool OpenPending = false;
  bool ClosePending = false;
  bool InCallback = false;
  bool Quit = false;

  // Real-time clock: frames due since Base, frames done.
  bool ClockRunning = false;
  bool Starved = false;  // input: frames were lost and none recorded since (one overrun)
  bool RanDry = false;   // output: played all it held; the next write is an underrun
  std::chrono::steady_clock::time_point Base;
  uint64_t Frames = 0;

  std::condition_variable Wake;
  std::thread Thread;

  bool Idle() const { return !OpenPending && !ClosePending && DoneHead == nullptr && !InCallback; }
};

struct TVirtualSoundCard::TMixerHandle {
  uintptr_t Handle = 0;
  TMixerProc Callback = nullptr;
  uintptr_t Instance = 0;
  uint32_t Pending[64] = {};  // changed control ids, oldest first, each once
  int PendingCount = 0;
  bool InCallback = false;
  bool Quit = false;
  std::condition_variable Wake;
  std::thread Thread;
};

struct TVirtualSoundCard::TControl {
  uint32_t ID = 0;
  uint32_t Type = 0;
  size_t Line = 0;
  uint32_t Channels = 1;  // values kept (a mute keeps one for every channel)
  int32_t Value[2] = {0, 0};
};

struct TVirtualSoundCard::TLine {
  std::string Name;
  std::string ShortName;
  uint32_t Destination = 0;
  uint32_t Source = OwnLine;
  uint32_t ComponentType = 0;
  uint32_t Channels = 2;
  uint32_t LineID = 0;
  uint32_t Connections = 0;
  std::vector<uint32_t> Controls;  // ids
};

}  // namespace quellmarin
