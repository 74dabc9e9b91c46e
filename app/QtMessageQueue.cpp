#include "app/QtMessageQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstdint>
#include <stdexcept>

namespace quellmarin {

TQtMessageQueue::TQtMessageQueue(QObject* Parent) : QObject(Parent) {
  FEventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FEventFd < 0) throw std::runtime_error("Cannot create the message queue's wake-up descriptor");
  FNotifier = new QSocketNotifier(FEventFd, QSocketNotifier::Read, this);
  connect(FNotifier, &QSocketNotifier::activated, this, [this] { Wake(); });
  const int Fd = FEventFd;
  SetWakeup([Fd] {
    const uint64_t One = 1;
    // A full counter (never reached in practice) still leaves the loop awake.
    [[maybe_unused]] const ssize_t n = ::write(Fd, &One, sizeof One);
  });
}

TQtMessageQueue::~TQtMessageQueue() {
  SetWakeup({});
  delete FNotifier;
  ::close(FEventFd);
}

void TQtMessageQueue::Wake() {
  uint64_t Count = 0;
  [[maybe_unused]] const ssize_t n = ::read(FEventFd, &Count, sizeof Count);
  ProcessMessages();
}

}  // namespace quellmarin
