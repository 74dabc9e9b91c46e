#pragma once
// The program's icon, drawn here so that it needs no image plugin: spectrum
// bars under a low-pass filter curve, the motif of data/quellmarin.svg.
// UI thread.

#include <QIcon>
#include <QPixmap>

namespace quellmarin {

// The icon at Size x Size pixels.
QPixmap ProgramPixmap(int Size);
// The icon at the usual sizes, for window captions and the about box.
QIcon ProgramIcon();

}  // namespace quellmarin
