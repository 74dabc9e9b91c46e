#pragma once
// Where the settings file lives.
//
// Beside the executable when its folder is writable (a build tree, a portable
// copy): the executable's full path with its extension replaced by ".INI".
// Otherwise (an installed program) $XDG_CONFIG_HOME/quellmarin/quellmarin.INI,
// with $HOME/.config standing in for an unset, empty or relative
// $XDG_CONFIG_HOME; that folder is created when missing (if that fails, the
// name is still returned and a later write reports "Unable to write to ...").
// With no configuration folder known either, the name beside the executable is
// used all the same, or "quellmarin.INI" in the working folder when even the
// executable is unknown.
//
// Called on the UI thread at start-up.

#include <functional>
#include <string>

namespace quellmarin {

// What the file name depends on, replaceable in tests.
struct TSettingsPathInputs {
  // The executable's full path ("" when unknown).
  std::string ExePath;
  // Whether the program may create and replace files in Folder.
  std::function<bool(const std::string& Folder)> FolderWritable;
  // An environment variable's value, or nullptr when it is not set.
  std::function<const char*(const char* Name)> GetEnv;
};

// The inputs of this process: /proc/self/exe, access(2), getenv.
TSettingsPathInputs ProcessSettingsPathInputs();

// The executable's path with its extension replaced by ".INI".
std::string IniNameBesideExe(const std::string& ExePath);

std::string SettingsFileName(const TSettingsPathInputs& Inputs);
std::string SettingsFileName();  // for this process

}  // namespace quellmarin
