// Program entry: creates the main window on the sound system and runs the
// message loop until the window closes.

#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
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
int QuitEvent = -1;

void OnQuitSignal(int) {
  const uint64_t One = 1;
  [[maybe_unused]] const ssize_t Written = ::write(QuitEvent, &One, sizeof One);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication Application(argc, argv);
  SetInformationBoxHook([](const std::string& Text) {
    QMessageBox::information(QApplication::activeWindow(), "Quellmarin", QString::fromStdString(Text));
  });
  // ALSA when it answers, otherwise the virtual card's test signal in real time.
  auto SoundSystem = CreateSoundSystem();
  int Result = 1;
  try {
    TMainForm MainForm(*SoundSystem, SettingsFileName());

    QuitEvent = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::unique_ptr<QSocketNotifier> QuitNotifier;
    if (QuitEvent >= 0) {
      QuitNotifier = std::make_unique<QSocketNotifier>(QuitEvent, QSocketNotifier::Read);
      QObject::connect(QuitNotifier.get(), &QSocketNotifier::activated, [&MainForm] {
        uint64_t Count = 0;
        [[maybe_unused]] const ssize_t Read = ::read(QuitEvent, &Count, sizeof Count);
        MainForm.close();
      });
      for (int Signal : {SIGTERM, SIGINT, SIGHUP}) std::signal(Signal, OnQuitSignal);
    }
    // The desktop session ending saves too; closing twice writes once.
    QObject::connect(&Application, &QGuiApplication::commitDataRequest, &MainForm,
                     [&MainForm](QSessionManager&) { MainForm.close(); });

    MainForm.show();
    Result = Application.exec();
    for (int Signal : {SIGTERM, SIGINT, SIGHUP}) std::signal(Signal, SIG_DFL);
  } catch (const std::exception& E) {
    QMessageBox::critical(nullptr, "Quellmarin", QString::fromStdString(E.what()));
  }
  if (QuitEvent >= 0) ::close(QuitEvent);
  SetInformationBoxHook({});
  return Result;
}
