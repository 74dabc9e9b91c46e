#pragma once
// Records the texts of information boxes shown while it lives.

#include <string>
#include <vector>

#include "platform/MessageBox.h"

namespace quellmarin::testing {

class MessageCapture {
public:
  MessageCapture() {
    FPrevious = SetInformationBoxHook([this](const std::string& t) { Texts.push_back(t); });
  }
  ~MessageCapture() { SetInformationBoxHook(FPrevious); }
  std::vector<std::string> Texts;

private:
  TInformationBoxHook FPrevious;
};

}  // namespace quellmarin::testing
