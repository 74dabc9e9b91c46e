// Program entry: creates the main window on the sound system and runs the
// message loop until the window closes.

#include <QApplication>
#include <QMessageBox>
#include <exception>
#include <memory>

#include "app/Filter1.h"
#include "app/SettingsPath.h"
#include "platform/MessageBox.h"
#include "app/SoundSystemFactory.h"

using namespace quellmarin;

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
    MainForm.show();
    Result = Application.exec();
  } catch (const std::exception& E) {
    QMessageBox::critical(nullptr, "Quellmarin", QString::fromStdString(E.what()));
  }
  SetInformationBoxHook({});
  return Result;
}
