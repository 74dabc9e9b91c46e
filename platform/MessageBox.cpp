#include "platform/MessageBox.h"

#include <cstdio>
#include <utility>

namespace quellmarin {

namespace {
TInformationBoxHook& CurrentHook() {
  static TInformationBoxHook hook;
  return hook;
}
}  // namespace

TInformationBoxHook SetInformationBoxHook(TInformationBoxHook Hook) {
  return std::exchange(CurrentHook(), std::move(Hook));
}

void ShowInformationBox(const std::string& Text) {
  if (const auto& hook = CurrentHook()) {
    hook(Text);
  } else {
    std::fprintf(stderr, "%s\n", Text.c_str());
  }
}

}  // namespace quellmarin
