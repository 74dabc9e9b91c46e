#pragma once
// The program's settings file class: the INI file of the platform layer,
// opened by file name. Reads and writes go to the file at once (UI thread).

#include <string>

#include "platform/IniFile.h"

namespace quellmarin {

class TKustomIniFile : public TIniFile {
public:
  explicit TKustomIniFile(const std::string& FileName);
};

}  // namespace quellmarin
