#pragma once
// The program's settings file class: the INI file of the platform layer,
// opened by file name (UI thread). Start-up loads the file's text once and
// reads every key from it; closing writes all keys in one replacement of the
// file (see platform/IniFile.h).

#include <string>

#include "platform/IniFile.h"

namespace quellmarin {

class TKustomIniFile : public TIniFile {
public:
  explicit TKustomIniFile(const std::string& FileName);
};

}  // namespace quellmarin
