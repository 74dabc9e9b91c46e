#pragma once
// A main window on a virtual sound card, with its settings file in a fresh
// folder and error boxes recorded instead of shown.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QString>
#include <QTimer>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Filter1.h"
#include "soundsystem/virtual/VirtualSoundCard.h"

namespace quellmarin::testing {

namespace fs = std::filesystem;

class GuiTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Template = (fs::temp_directory_path() / "qm_gui_XXXXXX").string();
    ASSERT_NE(::mkdtemp(Template.data()), nullptr);
    Folder = Template;
    IniName = (Folder / "quellmarin.INI").string();
    TMainForm::ErrorBoxHook = [this](const QString& Text) { Errors.push_back(Text.toStdString()); };
  }
  void TearDown() override {
    Form.reset();
    Card.reset();
    TMainForm::ErrorBoxHook = nullptr;
    std::error_code Ec;
    fs::remove_all(Folder, Ec);
  }

  void PutSettings(const std::string& Text) { std::ofstream(IniName, std::ios::binary) << Text; }
  std::string GetSettings() const {
    std::ifstream In(IniName, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
  }

  // Creates the window; its display timer is stopped so that the test runs
  // every refresh itself.
  TMainForm& Open(TVirtualSoundCard::TClock Clock = TVirtualSoundCard::ckManual) {
    return OpenOn(std::make_unique<TVirtualSoundCard>(Clock));
  }
  // The same on a card the test has prepared.
  TMainForm& OpenOn(std::unique_ptr<TVirtualSoundCard> Prepared) {
    Card = std::move(Prepared);
    Form = std::make_unique<TMainForm>(*Card, IniName);
    Form->Timer1->stop();
    return *Form;
  }

  // One block of 2000 samples: offset 170 plus a sine per (frequency, amplitude).
  static std::vector<int16_t> Block(std::vector<std::pair<double, double>> Tones, double Constant = 0) {
    std::vector<int16_t> B(2000);
    for (size_t i = 0; i < B.size(); ++i) {
      double v = 170 + Constant;
      for (auto [f, a] : Tones) v += a * std::sin(2 * M_PI * f * static_cast<double>(i) / 20000.0);
      B[i] = static_cast<int16_t>(std::lround(v));
    }
    return B;
  }

  // Runs a block through the live loop's processing as a recorded block
  // would (without the devices). Returns the processed block.
  std::vector<int16_t> Record(std::vector<int16_t> B) {
    Form->Loop()->ProcessBlockNow(B.data(), static_cast<int32_t>(B.size()));
    return B;
  }

  fs::path Folder;
  std::string IniName;
  std::vector<std::string> Errors;
  std::unique_ptr<TVirtualSoundCard> Card;
  std::unique_ptr<TMainForm> Form;
};

}  // namespace quellmarin::testing
