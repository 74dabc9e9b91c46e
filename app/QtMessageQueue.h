#pragma once
// The UI thread's message queue inside the Qt event loop. A post from any
// thread wakes the loop through an eventfd (a non-blocking write, no
// allocation); the loop then runs every waiting handler on the UI thread.
// Create and destroy it on the UI thread.

#include <QObject>

#include "platform/MessageQueue.h"

class QSocketNotifier;

namespace quellmarin {

class TQtMessageQueue : public QObject, public TMessageQueue {
  Q_OBJECT
public:
  explicit TQtMessageQueue(QObject* Parent = nullptr);
  ~TQtMessageQueue() override;

private:
  void Wake();

  int FEventFd = -1;
  QSocketNotifier* FNotifier = nullptr;
};

}  // namespace quellmarin
