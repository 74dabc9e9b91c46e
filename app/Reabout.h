#pragma once
// Unit Reabout: the about box. A modal dialog with the program icon, the
// program's name and version, a release note, links to the project's web page
// and e-mail address, and two live memory figures read once when the box is
// created: the free physical memory in kilobytes (grouped with the locale's
// separators) and the memory in use in percent.
//
// UI thread only.

#include <QDialog>
#include <functional>
#include <string>

#include "platform/MemoryStatus.h"

class QLabel;
class QPushButton;
class QWidget;

namespace quellmarin {

// Where the box reads the memory status; tests hand in fixed figures.
using TMemoryStatusReader = std::function<TMemoryStatus()>;

class TAboutBox : public QDialog {
  Q_OBJECT
public:
  // Owner is the main window (it frees the box if the box outlives the call
  // that shows it). The box is centred on the screen and has a fixed size.
  explicit TAboutBox(QWidget* Owner, TMemoryStatusReader ReadMemoryStatus = GlobalMemoryStatus);

  QLabel* ProgramIcon = nullptr;
  QLabel* ProductName = nullptr;  // "Quellmarin Beta version  0.1.0"
  QLabel* Comments = nullptr;     // the release note
  QLabel* WebLink = nullptr;
  QLabel* MailLink = nullptr;
  QLabel* PhysMemLabel = nullptr;  // "Physical Memory free:"
  QLabel* PhysMem = nullptr;
  QLabel* FreeResLabel = nullptr;  // "Memory in Use:"
  QLabel* FreeRes = nullptr;
  QPushButton* OKButton = nullptr;  // default and cancel button

private:
  // Fills PhysMem and FreeRes from the memory status.
  void FormCreate();

  TMemoryStatusReader FReadMemoryStatus;
};

// The Help menu's "About": creates a TAboutBox owned by MainForm, shows it
// modally and frees it when it closes, also when showing it fails (the
// failure then goes on to the caller).
void ShowAboutBox(QWidget* MainForm, TMemoryStatusReader ReadMemoryStatus = GlobalMemoryStatus);

// The separator the about box puts between groups of three digits: the
// default QLocale's group separator, or none where that locale leaves groups
// out (the C locale).
std::string ThousandsSeparator();

}  // namespace quellmarin
