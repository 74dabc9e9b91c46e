// Loaded into the program by bench/window-cpu.sh (LD_PRELOAD): once the window
// is up, it presses "Sample" as a user would, so that the script measures the
// window while it runs. It changes nothing else.

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <cstdio>

namespace {

QPushButton* FindSampleButton() {
  for (QWidget* w : QApplication::allWidgets())
    if (auto* b = qobject_cast<QPushButton*>(w); b != nullptr && b->text() == "Sample") return b;
  return nullptr;
}

// Tries every half second until the window shows its "Sample" button.
void PressSampleWhenShown(int TriesLeft) {
  QTimer::singleShot(500, [TriesLeft] {
    QPushButton* b = FindSampleButton();
    if (b == nullptr || !b->isVisible()) {
      if (TriesLeft > 0)
        PressSampleWhenShown(TriesLeft - 1);
      else
        std::fprintf(stderr, "window-driver: the window shows no \"Sample\" button\n");
      return;
    }
    b->click();
    std::fprintf(stderr, "window-driver: pressed Sample (%s)\n", b->isChecked() ? "down" : "up");
    // The check boxes the measurement depends on, and what the status bar
    // says once the run is under way: which sound system runs, any failure.
    for (QWidget* w : QApplication::allWidgets())
      if (auto* c = qobject_cast<QCheckBox*>(w); c != nullptr && (c->text() == "Filter enabled" || c->text() == "Plot enabled"))
        std::fprintf(stderr, "window-driver: %s: %s\n", qPrintable(c->text()), c->isChecked() ? "on" : "off");
    QTimer::singleShot(1500, [] {
      for (QWidget* w : QApplication::allWidgets())
        if (auto* bar = qobject_cast<QStatusBar*>(w))
          for (QObject* child : bar->children())
            if (auto* label = qobject_cast<QWidget*>(child); label != nullptr && !label->property("text").toString().isEmpty())
              std::fprintf(stderr, "window-driver: status: %s\n", qPrintable(label->property("text").toString()));
    });
  });
}

void Start() { PressSampleWhenShown(40); }

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(Start)
