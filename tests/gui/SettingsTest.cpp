// Start-up from the settings file and shutdown writing it back.

#include <sys/resource.h>
#include <sys/stat.h>

#include <QComboBox>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QtCharts/QValueAxis>
#include <csignal>
#include <functional>
#include <new>

#include "platform/IniFile.h"

#include "GuiFixture.h"

namespace quellmarin::testing {
namespace {

TEST_F(GuiTest, FirstStartWithoutSettingsFile) {
  TMainForm& F = Open();
  EXPECT_EQ(F.windowTitle(), "Quellmarin Beta version  (March 2000)");
  ASSERT_EQ(F.PageControl1->count(), 4);
  EXPECT_EQ(F.PageControl1->tabText(0), "Audio");
  EXPECT_EQ(F.PageControl1->tabText(3), "Plot");
  EXPECT_EQ(F.PageControl1->currentIndex(), 0);

  EXPECT_EQ(F.ComboFilterType->currentText(), "Low pass");
  EXPECT_FALSE(F.CheckFilter->isChecked());
  EXPECT_EQ(F.TrackBar1->value(), 2000);
  EXPECT_EQ(F.TrackBar1->minimum(), 100);
  EXPECT_EQ(F.TrackBar1->maximum(), 5000);
  EXPECT_EQ(F.Label9->text(), "2000 Hz");
  EXPECT_EQ(F.TrackBandWidth->value(), 500);
  EXPECT_EQ(F.Label7->text(), "500 Hz");
  EXPECT_EQ(F.ComboSpectrumScale->currentText(), "Peak hold scale");
  EXPECT_EQ(F.ComboPlotScale->currentText(), "Peak hold scale");
  EXPECT_EQ(F.TrackSpectrumMax->value(), 2);
  EXPECT_EQ(F.TrackPlotMax->value(), 2);
  EXPECT_FALSE(F.CheckPlotOn->isChecked());
  EXPECT_EQ(F.ComboPlotFunction->currentText(), "Dominant amplitude");
  EXPECT_EQ(F.ComboPlotSmoothing->currentText(), "(None)");
  EXPECT_FALSE(F.CheckExpDecay->isChecked());
  EXPECT_EQ(F.decay_combo->currentText(), "5");
  EXPECT_FALSE(F.decay_combo->isEnabled());
  EXPECT_TRUE(F.CheckSpectrumOn->isChecked());
  // Peak hold: the amplitude axes start at 1, "Refresh" enabled, sliders off.
  EXPECT_EQ(F.Chart1Left->max(), 1);
  EXPECT_EQ(F.Chart2Left->max(), 1);
  EXPECT_TRUE(F.ButtonRefreshPlotScale->isEnabled());
  EXPECT_FALSE(F.TrackPlotMax->isEnabled());

  // The cycle is idle, the recorder configured, a redesign pending.
  EXPECT_EQ(F.Status->text(), "Idle");
  EXPECT_TRUE(F.Query->isEnabled());
  EXPECT_FALSE(F.SpeedButton1->isChecked());
  TRecorder* R = F.Audio1->Recorder();
  EXPECT_EQ(R->SampleRate(), 20000);
  EXPECT_EQ(R->NoSamples(), 2000);
  EXPECT_EQ(R->Channels(), Mono);
  EXPECT_EQ(R->BitsPerSample(), _16);
  EXPECT_EQ(F.Audio1->Player()->SampleRate(), 20000);
  EXPECT_TRUE(R->Triggered());
  EXPECT_EQ(R->TrigLevel(), 3277);
  EXPECT_EQ(F.Label4->text(), "90");
  EXPECT_TRUE(FilterChanged);
  EXPECT_EQ(SelFilterType, ftLowPass);
  EXPECT_EQ(SelCenterFreq, 2000);
  EXPECT_FALSE(NewBlock.load());
  EXPECT_EQ(Engine->FPlotCount, 0);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(GuiTest, RestoresSettings) {
  struct Case {
    const char* Settings;
    std::function<void(TMainForm&)> Check;
  };
  const Case Cases[] = {
      {"PlotScaleType=2\nPlotScaleMax=700\n",
       [](TMainForm& F) {
         EXPECT_EQ(F.Chart2Left->min(), 0);
         EXPECT_EQ(F.Chart2Left->max(), 700);
         EXPECT_FALSE(F.PlotAxisAutomatic());
         EXPECT_TRUE(F.TrackPlotMax->isEnabled());
         EXPECT_FALSE(F.ButtonRefreshPlotScale->isEnabled());
         EXPECT_EQ(F.Label12->text(), "700");
       }},
      {"FilterCenterFreq=0x1F40\n",
       [](TMainForm& F) {
         EXPECT_EQ(F.TrackBar1->value(), 5000);
         EXPECT_EQ(SelCenterFreq, 5000);
         EXPECT_EQ(F.Label9->text(), "5000 Hz");
       }},
      {"FilterType=7\n",
       [](TMainForm& F) {
         EXPECT_EQ(F.ComboFilterType->currentIndex(), -1);
         EXPECT_EQ(SelFilterType, ftLowPass);
       }},
      {"FilterType=1\nFilterBandwidth=5000\nFilterOn=1\n",
       [](TMainForm& F) {
         EXPECT_EQ(SelFilterType, ftBandPass);
         EXPECT_EQ(F.TrackBandWidth->value(), 3000);
         EXPECT_EQ(F.Label7->text(), "3000 Hz");
         EXPECT_TRUE(F.CheckFilter->isChecked());
       }},
      {"PlotOn=1\n", [](TMainForm& F) { EXPECT_TRUE(F.CheckPlotOn->isChecked()); }},
      {"PlotOn=yes\n", [](TMainForm& F) { EXPECT_FALSE(F.CheckPlotOn->isChecked()); }},
      {"SpectumScaleType=1\nSpectumScaleMax=1500\n",
       [](TMainForm& F) {
         EXPECT_TRUE(F.SpectrumAxisAutomatic());
         EXPECT_EQ(F.TrackSpectrumMax->value(), 1000);
         EXPECT_FALSE(F.TrackSpectrumMax->isEnabled());
       }},
      {"ExpDecayOn=1\nPlotFunction=2\nPlotSmoothingType=3\n",
       [](TMainForm& F) {
         EXPECT_TRUE(F.decay_combo->isEnabled());
         EXPECT_EQ(Engine->FLiveFFT->Averaging(), avInfiniteExponential);
         EXPECT_EQ(Engine->FLiveFFT->ExponentialDecay(), 5);
         EXPECT_EQ(F.ComboPlotFunction->currentText(), "Realtime amplitude");
         EXPECT_EQ(F.ComboPlotSmoothing->currentText(), "Moving average large");
       }},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Settings);
    PutSettings(std::string("[settings]\n") + C.Settings);
    C.Check(Open());
    EXPECT_TRUE(Errors.empty());
    Form.reset();
  }
}

TEST_F(GuiTest, ClosingWritesTheTwelveKeysInOrder) {
  TMainForm& F = Open();
  F.CheckPlotOn->setChecked(true);
  F.ComboPlotFunction->setCurrentIndex(1);
  F.TrackBar1->setValue(3100);
  F.ComboFilterType->setCurrentIndex(-1);
  F.CheckExpDecay->setChecked(true);
  F.close();
  EXPECT_EQ(GetSettings(),
            "[SETTINGS]\nPlotFunction=1\nPlotOn=1\nFilterOn=0\nFilterType=-1\nFilterCenterFreq=3100\n"
            "FilterBandwidth=500\nSpectumScaleType=0\nSpectumScaleMax=2\nPlotScaleType=0\nPlotScaleMax=2\n"
            "PlotSmoothingType=0\nExpDecayOn=1\n");
  EXPECT_TRUE(Errors.empty());
}

TEST_F(GuiTest, ClosingKeepsOtherSectionsAndKeys) {
  PutSettings("; mine\n[Other]\nPlotOn=7\n[SETTINGS]\nFilterOn=1\nColour=blue\n[Last]\nx=1\n");
  TMainForm& F = Open();
  F.CheckFilter->setChecked(false);
  F.close();
  const std::string S = GetSettings();
  EXPECT_EQ(S.rfind("; mine\n[Other]\nPlotOn=7\n[SETTINGS]\nFilterOn=0\nColour=blue\nPlotFunction=0\n", 0), 0u) << S;
  EXPECT_NE(S.find("ExpDecayOn=0\n[Last]\nx=1\n"), std::string::npos) << S;
}

TEST_F(GuiTest, FailedWriteIsReportedAndKeepsTheOldFile) {
  const std::string Old = "[SETTINGS]\nFilterOn=1\nFilterCenterFreq=3000\n";
  PutSettings(Old);
  TMainForm& F = Open();
  F.CheckFilter->setChecked(false);
  // A file size limit below the new file's size stands in for a full disk.
  struct rlimit Saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &Saved), 0);
  auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit Small = Saved;
  Small.rlim_cur = 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &Small), 0);
  F.close();
  ::setrlimit(RLIMIT_FSIZE, &Saved);
  std::signal(SIGXFSZ, OldHandler);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0], "Unable to write to " + IniName);
  EXPECT_EQ(GetSettings(), Old);
  EXPECT_FALSE(F.isVisible());
}

TEST_F(GuiTest, ExitClosesAndSaves) {
  TMainForm& F = Open();
  F.show();
  F.Exit1->trigger();
  EXPECT_FALSE(F.isVisible());
  EXPECT_NE(GetSettings().find("PlotScaleMax=2"), std::string::npos);
}

// What stands at a path: a file's bytes, a link's target, or the kind of thing.
std::string Describe(const fs::path& P) {
  struct stat S {};
  if (::lstat(P.c_str(), &S) != 0) return "missing";
  if (S_ISLNK(S.st_mode)) return "link to " + fs::read_symlink(P).string();
  if (S_ISFIFO(S.st_mode)) return "fifo";
  if (!S_ISREG(S.st_mode)) return "other";
  std::ifstream In(P, std::ios::binary);
  std::stringstream T;
  T << In.rdbuf();
  return "file " + T.str();
}

// A settings file start-up cannot read: the window opens with the defaults and
// one message, the engine processes a block and the refresh shows it, and
// closing leaves the file exactly as it was.
TEST_F(GuiTest, UnreadableSettingsFileGivesDefaultsOneMessageAndStaysUntouched) {
  const std::string Saved = "[SETTINGS]\nFilterType=2\nFilterOn=1\nPlotOn=1\n";
  struct Case {
    const char* Name;
    std::function<void()> Make;
    const char* Reason;
  };
  const Case Cases[] = {
      {"10 MB", [&] { PutSettings(Saved + std::string(10 << 20, '\n')); }, "larger than 1 MB"},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(IniName.c_str(), 0600), 0); }, "not a regular file"},
      {"a link to a device", [&] { fs::create_symlink("/dev/zero", IniName); }, "not a regular file"},
      {"a read that throws",
       [&] {
         PutSettings(Saved);
         TIniFile::SetReadHook([](const std::string&) { throw std::bad_alloc(); });
       },
       "not enough memory"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::error_code Ec;
    fs::remove(IniName, Ec);
    Errors.clear();
    C.Make();
    const std::string Before = Describe(IniName);

    TMainForm& F = Open();
    TIniFile::SetReadHook({});
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find(C.Reason), std::string::npos) << Errors[0];
    EXPECT_NE(Errors[0].find("default settings"), std::string::npos) << Errors[0];
    EXPECT_EQ(F.ComboFilterType->currentText(), "Low pass");
    EXPECT_FALSE(F.CheckFilter->isChecked());
    EXPECT_FALSE(F.CheckPlotOn->isChecked());
    EXPECT_EQ(F.TrackBar1->value(), 2000);

    ASSERT_NE(Engine, nullptr);
    Record(Block({{1000, 3000}}));
    F.Timer1Timer();
    EXPECT_NEAR(F.Label1->text().toInt(), 1000, 10);

    F.TrackBar1->setValue(3000);
    F.close();
    EXPECT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Describe(IniName), Before);
    Form.reset();
  }
}

// Files start-up reads although they are written in unusual ways: names with
// spaces around them, CR-only line endings, a link to a file that does not
// exist yet. The values come back, and closing writes each key once, in the
// file's own line endings, through the link.
TEST_F(GuiTest, UnusualSettingsFilesAreReadAndWrittenInPlace) {
  struct Case {
    const char* Name;
    std::function<void()> Make;
    const char* Type;  // filter type shown
    fs::path Written;  // where closing writes
    std::function<void(const std::string&)> Check;
  };
  const fs::path Real = Folder / "dotfiles" / "quellmarin.INI";
  const Case Cases[] = {
      {"spaces around names", [&] { PutSettings("[ SETTINGS ]\n  FilterType = 1 \n FilterOn =1\n"); }, "Band pass",
       IniName,
       [](const std::string& S) {
         EXPECT_EQ(S.rfind("[ SETTINGS ]\nFilterType=1\nFilterOn=1\nPlotFunction=0\n", 0), 0u) << S;
         EXPECT_EQ(S.find("FilterType", S.find("FilterType") + 1), std::string::npos) << S;
       }},
      {"CR-only line endings", [&] { PutSettings("[SETTINGS]\rFilterType=2\rFilterOn=1\r"); }, "High pass", IniName,
       [](const std::string& S) {
         EXPECT_EQ(S.rfind("[SETTINGS]\rFilterType=2\rFilterOn=1\rPlotFunction=0\r", 0), 0u) << S;
         EXPECT_EQ(S.find('\n'), std::string::npos) << S;
       }},
      {"a dangling link",
       [&] {
         fs::create_directory(Real.parent_path());
         fs::create_symlink(Real, IniName);
       },
       "Low pass", Real,
       [](const std::string& S) { EXPECT_EQ(S.rfind("[SETTINGS]\nPlotFunction=0\n", 0), 0u) << S; }},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::error_code Ec;
    fs::remove(IniName, Ec);
    C.Make();
    TMainForm& F = Open();
    EXPECT_EQ(F.ComboFilterType->currentText(), C.Type);
    F.close();
    EXPECT_TRUE(Errors.empty());
    std::ifstream In(C.Written, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    C.Check(S.str());
    Form.reset();
  }
  EXPECT_EQ(Describe(IniName), "link to " + Real.string());
}

}  // namespace
}  // namespace quellmarin::testing
