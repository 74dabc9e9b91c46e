#pragma once
// The modal information box with a single OK button. The program installs a
// hook that shows a window; tests install one that records the text. Without a
// hook the text goes to standard error.

#include <functional>
#include <string>

namespace quellmarin {

using TInformationBoxHook = std::function<void(const std::string& Text)>;

// Installs Hook (an empty function restores the default) and returns the
// previous one. Install hooks before other threads start showing boxes.
TInformationBoxHook SetInformationBoxHook(TInformationBoxHook Hook);

// Shows Text and returns when the user has acknowledged it.
void ShowInformationBox(const std::string& Text);

}  // namespace quellmarin
