#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "app/KiniFile.h"
#include "app/SettingsPath.h"
#include "platform/Exception.h"

namespace quellmarin {
namespace {

namespace fs = std::filesystem;

class SettingsFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Template = (fs::temp_directory_path() / "qm_settings_XXXXXX").string();
    ASSERT_NE(::mkdtemp(Template.data()), nullptr);
    Root = Template;
  }
  void TearDown() override {
    std::error_code Ec;
    fs::remove_all(Root, Ec);
  }
  // Inputs with the given executable, writable folder and environment.
  static TSettingsPathInputs Inputs(std::string Exe, std::string WritableFolder,
                                    std::map<std::string, std::string> Env) {
    TSettingsPathInputs I;
    I.ExePath = std::move(Exe);
    I.FolderWritable = [WritableFolder](const std::string& Folder) { return Folder == WritableFolder; };
    I.GetEnv = [Env = std::move(Env)](const char* Name) -> const char* {
      auto It = Env.find(Name);
      return It == Env.end() ? nullptr : It->second.c_str();
    };
    return I;
  }

  fs::path Root;
};

TEST_F(SettingsFileTest, FileNameRules) {
  const std::string R = Root.string();
  const std::string Cfg = R + "/cfg";
  const std::string Home = R + "/home";
  struct Case {
    std::string Exe, Writable;
    std::map<std::string, std::string> Env;
    std::string Expected;
  };
  const Case Cases[] = {
      // Beside the executable when its folder is writable: same folder, same base name.
      {"/opt/qm/quellmarin", "/opt/qm", {{"XDG_CONFIG_HOME", Cfg}}, "/opt/qm/quellmarin.INI"},
      {"/opt/qm/quellmarin.bin", "/opt/qm", {}, "/opt/qm/quellmarin.INI"},
      {"/opt/q.m/quellmarin", "/opt/q.m", {}, "/opt/q.m/quellmarin.INI"},
      {"/opt/qm/Quellmarin.exe", "/opt/qm", {}, "/opt/qm/Quellmarin.INI"},
      // Otherwise the user's configuration folder.
      {"/usr/bin/quellmarin", "", {{"XDG_CONFIG_HOME", Cfg}, {"HOME", Home}}, Cfg + "/quellmarin/quellmarin.INI"},
      {"/usr/bin/quellmarin", "", {{"HOME", Home}}, Home + "/.config/quellmarin/quellmarin.INI"},
      {"/usr/bin/quellmarin", "", {{"XDG_CONFIG_HOME", ""}, {"HOME", Home}}, Home + "/.config/quellmarin/quellmarin.INI"},
      {"/usr/bin/quellmarin", "", {{"XDG_CONFIG_HOME", "cfg"}, {"HOME", Home}}, Home + "/.config/quellmarin/quellmarin.INI"},
      {"", "", {{"XDG_CONFIG_HOME", Cfg}}, Cfg + "/quellmarin/quellmarin.INI"},
      // Neither: the name beside the executable all the same, or the working folder.
      {"/usr/bin/quellmarin", "", {{"HOME", "relative"}}, "/usr/bin/quellmarin.INI"},
      {"", "", {}, "quellmarin.INI"},
  };
  for (const Case& C : Cases) {
    const std::string Name = SettingsFileName(Inputs(C.Exe, C.Writable, C.Env));
    EXPECT_EQ(Name, C.Expected) << C.Exe;
    if (Name.starts_with(R)) {
      EXPECT_TRUE(fs::is_directory(fs::path(Name).parent_path())) << Name;
      EXPECT_FALSE(fs::exists(Name)) << "only the folder is created";
    }
  }
}

TEST_F(SettingsFileTest, ThisProcessUsesItsOwnExecutable) {
  const std::string Exe = fs::read_symlink("/proc/self/exe").string();
  const std::string Name = SettingsFileName();
  if (::access(fs::path(Exe).parent_path().c_str(), W_OK) == 0)
    EXPECT_EQ(Name, fs::path(Exe).replace_extension(".INI").string());
  else
    EXPECT_TRUE(Name.ends_with("/quellmarin/quellmarin.INI")) << Name;
}

TEST_F(SettingsFileTest, UncreatableConfigFolderReportsOnWrite) {
  const fs::path Blocker = Root / "cfg";
  std::ofstream(Blocker) << "a file where the folder should be";
  const std::string Name = SettingsFileName(Inputs("/usr/bin/quellmarin", "", {{"XDG_CONFIG_HOME", Blocker.string()}}));
  EXPECT_EQ(Name, (Blocker / "quellmarin" / "quellmarin.INI").string());

  TKustomIniFile Ini(Name);
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "FilterCenterFreq", 2000), 2000);
  try {
    Ini.WriteInteger("SETTINGS", "PlotFunction", 1);
    ADD_FAILURE() << "write succeeded";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "Unable to write to " + Name);
  }
}

TEST_F(SettingsFileTest, SettingsKeysRoundTripInFileFormat) {
  const std::string Name = (Root / "quellmarin.INI").string();
  {
    TKustomIniFile Ini(Name);
    // The window writes its keys in this order when it closes.
    Ini.WriteInteger("SETTINGS", "PlotFunction", 1);
    Ini.WriteBool("SETTINGS", "PlotOn", true);
    Ini.WriteBool("SETTINGS", "FilterOn", false);
    Ini.WriteInteger("SETTINGS", "FilterType", -1);
    Ini.WriteInteger("SETTINGS", "FilterCenterFreq", 2000);
    Ini.WriteInteger("SETTINGS", "FilterBandwidth", 500);
  }
  std::ifstream In(Name, std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  EXPECT_EQ(Text.str(),
            "[SETTINGS]\nPlotFunction=1\nPlotOn=1\nFilterOn=0\nFilterType=-1\n"
            "FilterCenterFreq=2000\nFilterBandwidth=500\n");

  const TKustomIniFile Again(Name);
  EXPECT_EQ(Again.ReadInteger("settings", "plotfunction", 0), 1);
  EXPECT_TRUE(Again.ReadBool("SETTINGS", "PlotOn", false));
  EXPECT_FALSE(Again.ReadBool("SETTINGS", "FilterOn", true));
  EXPECT_EQ(Again.ReadInteger("SETTINGS", "FilterType", 0), -1);
  EXPECT_EQ(Again.ReadInteger("SETTINGS", "SpectumScaleMax", 0), 0);  // never written
}

}  // namespace
}  // namespace quellmarin
