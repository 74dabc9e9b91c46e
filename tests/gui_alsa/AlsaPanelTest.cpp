// The mixer rows and the sound-system report on ALSA: the file-backed test
// configuration (a sound card's mixer with every line) and a PulseAudio server
// (its mixer has only "Master" and "Capture").

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QString>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "alsa/AlsaTestConfig.h"
#include "alsa/PulseServer.h"
#include "app/Filter1.h"
#include "app/Utils.h"
#include "soundsystem/alsa/AlsaSoundSystem.h"

namespace quellmarin::testing {
namespace {

namespace fs = std::filesystem;

// Runs Step until Done holds or Seconds pass; whether it held.
bool WaitFor(const std::function<bool()>& Done, const std::function<void()>& Step, double Seconds = 10) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::duration<double>(Seconds);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > End) return false;
    Step();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The capability report of a wave device (WAVE_MAPPER: ALSA's default) and
// mixer 0 on the ALSA sound system as configured now: its four texts, the
// first naming the device as ALSA does, with the devices it opened closed
// again and OnPlayed raised once.
void CheckReport(uint32_t DeviceID, const std::string& DeviceName, const std::string& MixerLines) {
  TAlsaSoundSystem Sys;
  TMessageQueue Queue;
  TAudio Audio(nullptr, Sys, Queue);
  int Played = 0;
  Audio.OnPlayed = [&](TPersistent*) { ++Played; };
  Audio.SetAudioDeviceID(DeviceID);
  std::vector<std::string> Lines;
  ReportSoundSystem(&Audio, [&](const std::string& Line) { Lines.push_back(Line); });
  ASSERT_EQ(Lines.size(), 4u);
  EXPECT_EQ(Lines[0], DeviceName);
  EXPECT_TRUE(Lines[1].rfind("Full-duplex support, ", 0) == 0) << Lines[1];
  EXPECT_NE(Lines[1].find(" kHz, "), std::string::npos) << Lines[1];
  EXPECT_NE(Lines[1].find("-bit, Playback Controls: "), std::string::npos) << Lines[1];
  EXPECT_FALSE(Lines[2].empty());
  EXPECT_EQ(Lines[3], "Mixer devices present: 1. DeviceID 0 has:" + MixerLines);

  EXPECT_TRUE(WaitFor([&] { return Played > 0; }, [&] { Queue.ProcessMessages(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Queue.ProcessMessages();
  EXPECT_EQ(Played, 1);
  EXPECT_FALSE(Audio.Recorder()->DeviceOpen());
  EXPECT_FALSE(Audio.Player()->DeviceOpen());
  // The devices are free again.
  EXPECT_TRUE(Audio.Recorder()->Open()) << Audio.ErrorMessage();
  Audio.Recorder()->Close();
}

TEST(AlsaReport, FileBackedSoundCard) {
  TAlsaTestConfig Config;
  const std::string Mixer = "\r\nMaster Volume: Wave, Microphone, Line In, \r\nRecording Control: Microphone, Line In, ";
  {
    SCOPED_TRACE("a listed device");
    CheckReport(0, "ALSA \"qmcard\" (Quellmarin test card)", Mixer);
  }
  {
    SCOPED_TRACE("the default device");
    CheckReport(WAVE_MAPPER, "ALSA \"default\"", Mixer);
  }
}

// A default device that cannot be opened: no description, and the reason.
TEST(AlsaReport, DefaultDeviceThatCannotBeOpenedGivesItsReason) {
  TAlsaTestConfig Config({}, "pcm.!default { type qmfault busy true }\n");
  TAlsaSoundSystem Sys;
  TMessageQueue Queue;
  TAudio Audio(nullptr, Sys, Queue);
  std::vector<std::string> Lines;
  EXPECT_FALSE(ReportSoundSystem(&Audio, [&](const std::string& Line) { Lines.push_back(Line); }));
  ASSERT_EQ(Lines.size(), 4u);
  EXPECT_EQ(Lines[0], "");
  EXPECT_EQ(Lines[1], "");
  EXPECT_NE(Audio.ErrorMessage().find("\"default\""), std::string::npos) << Audio.ErrorMessage();
}

class PulsePanel : public ::testing::Test {
protected:
  void SetUp() override {
    if (!Server.Ready()) GTEST_SKIP() << "PulseAudio could not be started for the test: " << Server.Why();
    TMainForm::ErrorBoxHook = [this](const QString& Text) { Errors.push_back(Text.toStdString()); };
  }
  void TearDown() override { TMainForm::ErrorBoxHook = nullptr; }

  // A listed device on the server, so that the report has a wave device 0.
  TPulseServer Server{"pcm.qmpulse { type pulse hint { show on description \"Test sound server\" } }\n"};
  std::vector<std::string> Errors;
};

TEST_F(PulsePanel, Report) {
  {
    SCOPED_TRACE("the server's listed device");
    CheckReport(0, "ALSA \"qmpulse\" (Test sound server)", "\r\nMaster Volume: \r\nRecording Control: ");
  }
  {
    SCOPED_TRACE("the default device");
    CheckReport(WAVE_MAPPER, "ALSA \"default\"", "\r\nMaster Volume: \r\nRecording Control: ");
  }
}

TEST_F(PulsePanel, MasterAndCaptureWorkAndTheMissingLinesAreDisabledAndNamedOnce) {
  ASSERT_EQ(Shell("pactl set-sink-volume qmsink 20%"), "");
  const fs::path Ini = fs::temp_directory_path() / ("qm_pulse_panel_" + std::to_string(::getpid()) + ".INI");
  TAlsaSoundSystem Sys;
  {
    TMainForm F(Sys, Ini.string());
    F.Timer1->stop();
    auto Pump = [&] { F.Queue().ProcessMessages(); };

    // Start-up: the sink's volume on the master row, the source's on both
    // input rows (the server has no Mic or Line input, only "Capture");
    // the rows with nothing to set disabled, each saying why.
    const std::string Status = "Mixer lines not found: Wave, Mic out, Line out; "
                               "Line in and Mic in set the capture level \"Recording Control\"";
    EXPECT_EQ(F.TrackBar7->value(), 20);
    EXPECT_TRUE(F.TrackBar7->isEnabled());
    EXPECT_TRUE(F.CheckBox7->isEnabled());
    EXPECT_TRUE(F.CheckBox7->isChecked());
    for (auto Row : {TMainForm::rowWave, TMainForm::rowOutMic, TMainForm::rowOutLine}) {
      SCOPED_TRACE(Row);
      EXPECT_TRUE(F.MixerRowMissing(Row));
      EXPECT_FALSE(F.MixerSlider(Row)->isEnabled());
      EXPECT_FALSE(F.MixerBox(Row)->isEnabled());
      EXPECT_TRUE(F.MixerSlider(Row)->toolTip().contains("nothing to set")) << F.MixerSlider(Row)->toolTip().toStdString();
    }
    for (auto Row : {TMainForm::rowInMic, TMainForm::rowInLine}) {
      SCOPED_TRACE(Row);
      EXPECT_FALSE(F.MixerRowMissing(Row));
      EXPECT_TRUE(F.MixerRowOnCapture(Row));
      EXPECT_TRUE(F.MixerSlider(Row)->isEnabled());
      EXPECT_TRUE(F.MixerBox(Row)->isEnabled());
      EXPECT_TRUE(F.MixerSlider(Row)->toolTip().contains("capture level")) << F.MixerSlider(Row)->toolTip().toStdString();
    }
    EXPECT_EQ(F.sbar1Panels[2]->text().toStdString(), Status);
    EXPECT_TRUE(Errors.empty());

    // An input row sets the server's capture level, and both rows follow it.
    F.TrackBar2->setValue(40);
    EXPECT_NE(Shell("pactl get-source-volume qmsink.monitor").find(" 40% "), std::string::npos)
        << Shell("pactl get-source-volume qmsink.monitor");
    EXPECT_TRUE(WaitFor([&] { return F.TrackBar3->value() == 40; }, Pump)) << F.TrackBar3->value();
    ASSERT_EQ(Shell("pactl set-source-volume qmsink.monitor 60%"), "");
    EXPECT_TRUE(WaitFor([&] { return F.TrackBar2->value() == 60 && F.TrackBar3->value() == 60; }, Pump))
        << F.TrackBar2->value() << " " << F.TrackBar3->value();

    // The master row drives the sink, and follows it.
    F.TrackBar7->setValue(30);
    EXPECT_NE(Shell("pactl get-sink-volume qmsink").find(" 30% "), std::string::npos);
    F.CheckBox7->click();
    EXPECT_NE(Shell("pactl get-sink-mute qmsink").find("Mute: yes"), std::string::npos);
    ASSERT_EQ(Shell("pactl set-sink-volume qmsink 50%"), "");
    ASSERT_EQ(Shell("pactl set-sink-mute qmsink 0"), "");
    EXPECT_TRUE(WaitFor([&] { return F.TrackBar7->value() == 50 && F.CheckBox7->isChecked(); }, Pump))
        << F.TrackBar7->value();

    // "Auto set audio" sets the master and capture rows and passes over the others.
    F.ButtonAutoSetAudio->click();
    Pump();
    EXPECT_EQ(F.TrackBar7->value(), 70);
    EXPECT_NE(Shell("pactl get-sink-volume qmsink").find(" 70% "), std::string::npos);
    EXPECT_NE(Shell("pactl get-source-volume qmsink.monitor").find(" 70% "), std::string::npos);
    EXPECT_EQ(F.sbar1Panels[2]->text().toStdString(), Status);
    EXPECT_TRUE(Errors.empty());
  }
  std::error_code Ec;
  fs::remove(Ini, Ec);
}

}  // namespace
}  // namespace quellmarin::testing
