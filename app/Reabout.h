#pragma once
// Unit Reabout: the about box. A modal dialog with the program icon, the
// program's name and version, a release note, a link to the README installed
// with the program (none when it is not there), and two live memory figures read once when the box is
// created: the free physical memory in kilobytes (grouped with the locale's
// separators) and the memory in use in percent.
//
// UI thread only.

#include <QDialog>
#include <QString>
#include <functional>
#include <string>

#include "platform/MemoryStatus.h"

class QLabel;
class QPushButton;
class QWidget;

namespace quellmarin {

// Where the box reads the memory status; tests hand in fixed figures.
using TMemoryStatusReader = std::function<TMemoryStatus()>;

// The README installed with the program: <prefix>/share/doc/quellmarin/
// README.md beside <prefix>/bin, or README.md in the program's own folder (a
// portable copy); empty when neither exists. ProgramDir defaults to the
// running program's folder.
QString InstalledReadme(const QString& ProgramDir = QString());

class TAboutBox : public QDialog {
  Q_OBJECT
public:
  // Owner is the main window (it frees the box if the box outlives the call
  // that shows it). The box is centred on the screen and has a fixed size.
  // Readme: the README file to link to, or empty for no link.
  explicit TAboutBox(QWidget* Owner, TMemoryStatusReader ReadMemoryStatus = GlobalMemoryStatus,
                     const QString& Readme = InstalledReadme());

  QLabel* ProgramIcon = nullptr;
  QLabel* ProductName = nullptr;  // "Quellmarin Beta version  0.1.0"
  QLabel* Comments = nullptr;     // the release note
  QLabel* ReadmeLink = nullptr;  // hidden without a README
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
