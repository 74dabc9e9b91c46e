#include "app/KiniFile.h"

namespace quellmarin {

TKustomIniFile::TKustomIniFile(const std::string& FileName) : TIniFile(FileName) {}

}  // namespace quellmarin
