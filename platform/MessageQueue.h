#pragma once
// The user-interface thread's message queue. Any thread posts a message to a
// target without blocking and without allocating; the UI thread runs the
// targets' handlers in posting order when it pumps the queue. This is how the
// audio layer hands work from the sound system's threads to the UI thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace quellmarin {

struct TMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
};

// Receives messages on the UI thread. A target must be removed from the queue
// (RemoveTarget) before it is destroyed.
class TMessageTarget {
public:
  virtual ~TMessageTarget() = default;
  virtual void HandleMessage(const TMessage& Message) = 0;
};

class TMessageQueue {
public:
  explicit TMessageQueue(size_t Capacity = 4096);
  virtual ~TMessageQueue() = default;

  TMessageQueue(const TMessageQueue&) = delete;
  TMessageQueue& operator=(const TMessageQueue&) = delete;

  // Any thread. Appends the message and wakes the UI thread; false when the
  // queue is full (the message is dropped).
  bool PostMessage(TMessageTarget* Target, uint32_t Msg, uintptr_t WParam = 0, intptr_t LParam = 0);

  // UI thread. Runs the handlers of every waiting message, including those
  // posted while it runs, until the queue is empty. Returns how many ran.
  int ProcessMessages();

  // UI thread. Runs at most one waiting message; false when there was none.
  bool ProcessOne();

  // Drops every waiting message for Target.
  void RemoveTarget(TMessageTarget* Target);

  size_t Pending() const;

  // Called (on the posting thread) after a post; must not block. The Qt
  // program uses it to wake its event loop.
  void SetWakeup(std::function<void()> Wakeup);

private:
  struct TEntry {
    TMessageTarget* Target;
    TMessage Message;
  };

  mutable std::mutex FLock;
  std::vector<TEntry> FRing;
  size_t FHead = 0;  // next to run
  size_t FCount = 0;
  std::function<void()> FWakeup;
};

}  // namespace quellmarin
