// Program entry: creates the main window on the sound system and runs the
// message loop until the window closes.

#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
#include <atomic>
#include <csignal>
#include <exception>
#include <memory>
#include <sys/eventfd.h>
#include <unistd.h>

#include "app/Filter1.h"
#include "app/SettingsPath.h"
#include "app/SoundSystemFactory.h"
#include "platform/MessageBox.h"

using namespace quellmarin;

namespace {

// SIGTERM, SIGINT and SIGHUP (a logout, a kill, Ctrl+C in a terminal) close the
// window the ordinary way, so the devices stop and the settings are written.
// The handler writes to an event the UI thread watches; -1 while there is none.
std::atomic<int> QuitEvent{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads QuitEvent");

const int QuitSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnQuitSignal(int) {
  const int Event = QuitEvent.load();
  if (Event < 0) return;
  const uint64_t One = 1;
  [[maybe_unused]] const ssize_t Written = ::write(Event, &One, sizeof One);
}

// The quit signals' handlers and their event, for one scope. Leaving the scope,
// also when an exception passes through, first puts the previous handlers
// back and only then closes the event, so a late signal never writes to a
// closed (or meanwhile reused) descriptor.
class TQuitSignals {
public:
  TQuitSignals() {
    FEvent = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FEvent < 0) return;
    QuitEvent = FEvent;
    struct sigaction Action {};
    Action.sa_handler = OnQuitSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    for (size_t I = 0; I < std::size(QuitSignals); ++I) ::sigaction(QuitSignals[I], &Action, &FPrevious[I]);
  }
  ~TQuitSignals() {
    if (FEvent < 0) return;
    for (size_t I = 0; I < std::size(QuitSignals); ++I) ::sigaction(QuitSignals[I], &FPrevious[I], nullptr);
    QuitEvent = -1;
    ::close(FEvent);
  }
  TQuitSignals(const TQuitSignals&) = delete;
  TQuitSignals& operator=(const TQuitSignals&) = delete;

  // The event's descriptor, or -1 when none could be made (no handlers then).
  int Event() const { return FEvent; }

private:
  int FEvent = -1;
  struct sigaction FPrevious[std::size(QuitSignals)] {};
};

}  // namespace

int main(int argc, char** argv) {
  // ALSA when it answers, otherwise the virtual card's test signal in real
  // time. Created before the application object: the sound system names its
  // streams through environment variables, and setting them is safe only
  // while no other thread runs (the application object starts threads).
  auto SoundSystem = CreateSoundSystem();
  QApplication Application(argc, argv);
  SetInformationBoxHook([](const std::string& Text) {
    QMessageBox::information(QApplication::activeWindow(), "Quellmarin", QString::fromStdString(Text));
  });
  int Result = 1;
  try {
    TMainForm MainForm(*SoundSystem, SettingsFileName());

    const TQuitSignals Signals;
    std::unique_ptr<QSocketNotifier> QuitNotifier;
    if (Signals.Event() >= 0) {
      QuitNotifier = std::make_unique<QSocketNotifier>(Signals.Event(), QSocketNotifier::Read);
      QObject::connect(QuitNotifier.get(), &QSocketNotifier::activated, [&MainForm, &Signals] {
        uint64_t Count = 0;
        [[maybe_unused]] const ssize_t Read = ::read(Signals.Event(), &Count, sizeof Count);
        MainForm.close();
      });
    }
    // The desktop session ending saves too; closing twice writes once.
    QObject::connect(&Application, &QGuiApplication::commitDataRequest, &MainForm,
                     [&MainForm](QSessionManager&) { MainForm.close(); });

    MainForm.show();
    Result = Application.exec();
  } catch (const std::exception& E) {
    QMessageBox::critical(nullptr, "Quellmarin", QString::fromStdString(E.what()));
  } catch (...) {
    QMessageBox::critical(nullptr, "Quellmarin", "Unknown error");
  }
  SetInformationBoxHook({});
  return Result;
}
