// The Audio page's device lists on ALSA: the file-backed test configuration
// (named devices, one of them capture-only) and a PulseAudio server. The
// lists, a choice that reaches the devices at the next "Sample", a change
// refused during a run, the choice kept in the settings file, a saved device
// that is gone, and a device that appears while the program runs.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "alsa/AlsaTestConfig.h"
#include "alsa/PulseServer.h"
#include "app/Filter1.h"
#include "app/SoundSystemFactory.h"
#include "soundsystem/alsa/AlsaSoundSystem.h"

namespace quellmarin::testing {
namespace {

namespace fs = std::filesystem;

bool WaitUntil(const std::function<bool()>& Done, const std::function<void()>& Step, double Seconds = 10) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::duration<double>(Seconds);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > End) return false;
    Step();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

QStringList Names(const QComboBox* Combo) {
  QStringList List;
  for (int i = 0; i < Combo->count(); ++i) List << Combo->itemData(i).toString();
  return List;
}

// Picks the entry of that device name as the user would.
void Pick(TMainForm& F, bool Input, const QString& Name) {
  QComboBox* Combo = Input ? F.ComboInputDevice : F.ComboOutputDevice;
  const int Index = Combo->findData(Name);
  ASSERT_GE(Index, 0) << Name.toStdString();
  Combo->setCurrentIndex(Index);
  if (Input)
    F.ComboInputDeviceChange();
  else
    F.ComboOutputDeviceChange();
}

std::string ReadText(const fs::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

class DeviceChoice : public ::testing::Test {
protected:
  void SetUp() override {
    Ini = fs::temp_directory_path() / ("qm_devices_" + std::to_string(::getpid()) + ".INI");
    fs::remove(Ini);
    TMainForm::ErrorBoxHook = [this](const QString& Text) { Errors.push_back(Text.toStdString()); };
  }
  void TearDown() override {
    TMainForm::ErrorBoxHook = nullptr;
    std::error_code Ec;
    fs::remove(Ini, Ec);
  }
  fs::path Ini;
  std::vector<std::string> Errors;
};

// A second named device that plays into its own file, and a capture-only one.
std::string ExtraDevices(const std::string& Dir) {
  return "pcm.qmsecond {\n  type asym\n"
         "  playback.pcm { type file slave.pcm { type null } file \"" + Dir + "/second-out.raw\" format raw }\n"
         "  capture.pcm { type file slave.pcm { type null } file \"/dev/null\" infile \"" + Dir + "/in.raw\" format raw }\n"
         "  hint { show on description \"Second test card\nAnalog\" }\n}\n"
         "pcm.qmmic { type asym capture.pcm { type null } hint { show on description \"Test microphone|IOIDInput\" } }\n";
}

TEST_F(DeviceChoice, FileBackedDevicesAreListedChosenKeptAndRefusedDuringARun) {
  TAlsaTestConfig Config;
  // The second device's files are in the configuration's folder.
  {
    std::ofstream(Config.Config(), std::ios::app) << ExtraDevices(Config.Dir());
  }
  TAlsaSoundSystem Sys;
  {
    TMainForm F(Sys, Ini.string());
    F.Timer1->stop();
    auto Pump = [&] { F.Queue().ProcessMessages(); };

    // "default" first, then every listed device of its direction.
    const QStringList Common = {"qmcard", "qmbusy", "qmgone", "qmxrun", "qmsuspend", "qmsecond"};
    EXPECT_EQ(Names(F.ComboInputDevice), QStringList{"default"} + Common + QStringList{"qmmic"});
    EXPECT_EQ(Names(F.ComboOutputDevice), QStringList{"default"} + Common);
    EXPECT_EQ(F.ComboOutputDevice->currentData().toString(), "default");
    EXPECT_EQ(F.ComboOutputDevice->itemText(6), "qmsecond - Second test card, Analog");
    EXPECT_EQ(F.Audio1->InputDeviceID(), WAVE_MAPPER);
    EXPECT_EQ(F.Audio1->OutputDeviceID(), WAVE_MAPPER);

    // Chosen while stopped: used from the next "Sample" on.
    Pick(F, true, "qmcard");
    Pick(F, false, "qmsecond");
    uint32_t Card = 0, Second = 0;
    ASSERT_TRUE(Sys.FindPcm("qmcard", Card));
    ASSERT_TRUE(Sys.FindPcm("qmsecond", Second));
    EXPECT_EQ(F.Audio1->InputDeviceID(), Card);
    EXPECT_EQ(F.Audio1->OutputDeviceID(), Second);
    F.SpeedButton1->click();
    ASSERT_TRUE(F.Recording()) << F.sbar1Panels[2]->text().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(Config.Dir() + "/second-out.raw") &&
                                       fs::file_size(Config.Dir() + "/second-out.raw") >= 4000; },
                          Pump))
        << "the processed blocks play on the chosen output";

    // During the run a change is refused and the list shows the device in use.
    Pick(F, true, "qmsecond");
    EXPECT_EQ(F.sbar1Panels[2]->text(), "The devices cannot change during a run: release \"Sample\" first");
    EXPECT_EQ(F.ComboInputDevice->currentData().toString(), "qmcard");
    EXPECT_EQ(F.Audio1->InputDeviceID(), Card);
    EXPECT_EQ(F.InputDeviceChoice(), "qmcard");
    F.SpeedButton1->click();
    Pump();
    EXPECT_FALSE(F.Recording());
    // Nothing went to the default device's output.
    EXPECT_FALSE(fs::exists(Config.Output()) && fs::file_size(Config.Output()) > 0);

    // A device that appears while the program runs is offered when a list opens.
    {
      std::ofstream(Config.Config(), std::ios::app)
          << "pcm.qmlate { type null hint { show on description \"Plugged in later\" } }\n";
    }
    F.ComboOutputDevice->showPopup();
    F.ComboOutputDevice->hidePopup();
    EXPECT_TRUE(Names(F.ComboOutputDevice).contains("qmlate"));
    EXPECT_EQ(F.ComboOutputDevice->currentData().toString(), "qmsecond");
    // Numbers given out before keep their device.
    uint32_t Again = 0;
    ASSERT_TRUE(Sys.FindPcm("qmsecond", Again));
    EXPECT_EQ(Again, Second);
    F.close();
  }
  // Kept under the new keys, and restored.
  const std::string Saved = ReadText(Ini);
  EXPECT_NE(Saved.find("InputDevice=qmcard\nOutputDevice=qmsecond\n"), std::string::npos) << Saved;
  {
    TMainForm F(Sys, Ini.string());
    F.Timer1->stop();
    EXPECT_EQ(F.ComboInputDevice->currentData().toString(), "qmcard");
    EXPECT_EQ(F.ComboOutputDevice->currentData().toString(), "qmsecond");
    uint32_t Second = 0;
    ASSERT_TRUE(Sys.FindPcm("qmsecond", Second));
    EXPECT_EQ(F.Audio1->OutputDeviceID(), Second);
    EXPECT_EQ(F.sbar1Panels[2]->text(), "");
  }
  EXPECT_TRUE(Errors.empty());
}

// A saved device that is gone: "default" is used and the status bar says so
// in one line; the saved name stays in the file for when the device returns.
// A file without the keys reads as "default" and gains no keys.
TEST_F(DeviceChoice, SavedDeviceThatIsGoneFallsBackToDefault) {
  TAlsaTestConfig Config;
  TAlsaSoundSystem Sys;
  struct Case {
    const char* Settings;
    const char* Status;
    const char* After;
  } Cases[] = {
      {"[SETTINGS]\nInputDevice=qmunplugged\nOutputDevice=qmcard\n",
       "Saved device not found, using \"default\": input \"qmunplugged\"",
       "InputDevice=qmunplugged\nOutputDevice=qmcard\n"},
      {"[SETTINGS]\nInputDevice=qmgonemic\nOutputDevice=qmgonespeaker\n",
       "Saved device not found, using \"default\": input \"qmgonemic\", output \"qmgonespeaker\"",
       "InputDevice=qmgonemic\nOutputDevice=qmgonespeaker\n"},
      {"[SETTINGS]\nFilterOn=1\n", "", nullptr},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Settings);
    std::ofstream(Ini, std::ios::binary) << c.Settings;
    {
      TMainForm F(Sys, Ini.string());
      F.Timer1->stop();
      EXPECT_EQ(F.sbar1Panels[2]->text().toStdString(), c.Status);
      EXPECT_EQ(F.ComboInputDevice->currentData().toString(), "default");
      EXPECT_EQ(F.Audio1->InputDeviceID(), WAVE_MAPPER);
      // The program works on the default device.
      F.SpeedButton1->click();
      EXPECT_TRUE(F.Recording()) << F.sbar1Panels[2]->text().toStdString();
      F.SpeedButton1->click();
      F.close();
    }
    const std::string Saved = ReadText(Ini);
    if (c.After)
      EXPECT_NE(Saved.find(c.After), std::string::npos) << Saved;
    else
      EXPECT_EQ(Saved.find("Device="), std::string::npos) << Saved;
  }
  EXPECT_TRUE(Errors.empty());
}

// On a sound server: its devices listed, the server's own with its
// description, and a choice of it used by the report.
TEST_F(DeviceChoice, SoundServerDevicesAreListedAndChosen) {
  TPulseServer Server{"pcm.qmpulse { type pulse hint { show on description \"Test sound server\" } }\n"};
  if (!Server.Ready()) GTEST_SKIP() << "PulseAudio could not be started for the test: " << Server.Why();
  TAlsaSoundSystem Sys;
  {
    TMainForm F(Sys, Ini.string());
    F.Timer1->stop();
    ASSERT_GE(F.ComboOutputDevice->count(), 2);
    EXPECT_EQ(F.ComboOutputDevice->itemData(0).toString(), "default");
    EXPECT_EQ(F.ComboInputDevice->itemData(0).toString(), "default");
    const int Pulse = F.ComboOutputDevice->findData("qmpulse");
    ASSERT_GE(Pulse, 0);
    EXPECT_EQ(F.ComboOutputDevice->itemText(Pulse), "qmpulse - Test sound server");
    Pick(F, true, "qmpulse");
    Pick(F, false, "qmpulse");
    F.Query->click();
    EXPECT_TRUE(F.Memo1->toPlainText().startsWith("ALSA \"qmpulse\" (Test sound server)\nFull-duplex support, "))
        << F.Memo1->toPlainText().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return !F.Audio1->Player()->DeviceOpen(); }, [&] { F.Queue().ProcessMessages(); }));
    F.close();
  }
  EXPECT_NE(ReadText(Ini).find("InputDevice=qmpulse\nOutputDevice=qmpulse\n"), std::string::npos);
  EXPECT_TRUE(Errors.empty());
}

}  // namespace
}  // namespace quellmarin::testing
