#include "app/SettingsPath.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace quellmarin {
namespace {

namespace fs = std::filesystem;

const char* const FileNameInConfig = "quellmarin.INI";

// $XDG_CONFIG_HOME/quellmarin, or $HOME/.config/quellmarin; "" when neither is
// usable. Relative values are ignored, as they would depend on the working folder.
fs::path ConfigFolder(const TSettingsPathInputs& Inputs) {
  const char* Xdg = Inputs.GetEnv ? Inputs.GetEnv("XDG_CONFIG_HOME") : nullptr;
  if (Xdg && fs::path(Xdg).is_absolute()) return fs::path(Xdg) / "quellmarin";
  const char* Home = Inputs.GetEnv ? Inputs.GetEnv("HOME") : nullptr;
  if (Home && fs::path(Home).is_absolute()) return fs::path(Home) / ".config" / "quellmarin";
  return {};
}

}  // namespace

TSettingsPathInputs ProcessSettingsPathInputs() {
  TSettingsPathInputs Inputs;
  std::error_code Ec;
  const fs::path Exe = fs::read_symlink("/proc/self/exe", Ec);
  if (!Ec) Inputs.ExePath = Exe.string();
  Inputs.FolderWritable = [](const std::string& Folder) {
    return ::access(Folder.c_str(), W_OK | X_OK) == 0;
  };
  Inputs.GetEnv = [](const char* Name) -> const char* { return std::getenv(Name); };
  return Inputs;
}

std::string IniNameBesideExe(const std::string& ExePath) {
  return fs::path(ExePath).replace_extension(".INI").string();
}

std::string SettingsFileName(const TSettingsPathInputs& Inputs) {
  const fs::path Exe(Inputs.ExePath);
  if (Exe.is_absolute() && Exe.has_filename()) {
    const std::string Folder = Exe.parent_path().string();
    if (Inputs.FolderWritable && Inputs.FolderWritable(Folder)) return IniNameBesideExe(Inputs.ExePath);
  }
  const fs::path Config = ConfigFolder(Inputs);
  if (!Config.empty()) {
    std::error_code Ec;
    fs::create_directories(Config, Ec);
    return (Config / FileNameInConfig).string();
  }
  if (Exe.is_absolute() && Exe.has_filename()) return IniNameBesideExe(Inputs.ExePath);
  return FileNameInConfig;
}

std::string SettingsFileName() { return SettingsFileName(ProcessSettingsPathInputs()); }

}  // namespace quellmarin
