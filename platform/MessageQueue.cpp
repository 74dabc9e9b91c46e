#include "platform/MessageQueue.h"

#include <utility>

namespace quellmarin {

TMessageQueue::TMessageQueue(size_t Capacity) : FRing(Capacity == 0 ? 1 : Capacity) {}

bool TMessageQueue::PostMessage(TMessageTarget* Target, uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FCount == FRing.size()) return false;
    FRing[(FHead + FCount) % FRing.size()] = TEntry{Target, TMessage{Msg, WParam, LParam}};
    ++FCount;
  }
  if (FWakeup) FWakeup();
  return true;
}

bool TMessageQueue::ProcessOne() {
  TEntry entry{};
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FCount == 0) return false;
    entry = FRing[FHead];
    FHead = (FHead + 1) % FRing.size();
    --FCount;
  }
  if (entry.Target) entry.Target->HandleMessage(entry.Message);
  return true;
}

int TMessageQueue::ProcessMessages() {
  int ran = 0;
  while (ProcessOne()) ++ran;
  return ran;
}

void TMessageQueue::RemoveTarget(TMessageTarget* Target) {
  std::lock_guard<std::mutex> guard(FLock);
  for (size_t i = 0; i < FCount; ++i) {
    TEntry& e = FRing[(FHead + i) % FRing.size()];
    if (e.Target == Target) e.Target = nullptr;  // skipped when its turn comes
  }
}

size_t TMessageQueue::Pending() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FCount;
}

void TMessageQueue::SetWakeup(std::function<void()> Wakeup) { FWakeup = std::move(Wakeup); }

}  // namespace quellmarin
