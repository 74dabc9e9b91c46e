#include "app/Reabout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>
#include <memory>

#include "app/MemoryText.h"
#include "app/QtProgramIcon.h"

namespace quellmarin {

namespace {

QLabel* LinkLabel(QWidget* Parent, const QString& Target, const QString& Text) {
  auto* Label = new QLabel(QStringLiteral("<a href=\"%1\">%2</a>").arg(Target, Text.toHtmlEscaped()), Parent);
  Label->setTextFormat(Qt::RichText);
  Label->setTextInteractionFlags(Qt::TextBrowserInteraction);
  Label->setOpenExternalLinks(true);
  Label->setToolTip(Target);
  return Label;
}

}  // namespace

std::string ThousandsSeparator() {
  const QLocale Locale;
  if (Locale.numberOptions() & QLocale::OmitGroupSeparator) return "";
  return Locale.groupSeparator().toStdString();
}

QString InstalledReadme(const QString& ProgramDir) {
  const QDir Dir(ProgramDir.isEmpty() ? QCoreApplication::applicationDirPath() : ProgramDir);
  for (const QString& Candidate : {QStringLiteral("../share/doc/quellmarin/README.md"), QStringLiteral("README.md")}) {
    const QFileInfo File(Dir.filePath(Candidate));
    if (File.isFile()) return File.canonicalFilePath();
  }
  return QString();
}

TAboutBox::TAboutBox(QWidget* Owner, TMemoryStatusReader ReadMemoryStatus, const QString& Readme)
    : QDialog(Owner), FReadMemoryStatus(std::move(ReadMemoryStatus)) {
  setObjectName(QStringLiteral("AboutBox"));
  setWindowTitle(QStringLiteral("About Quellmarin"));
  setWindowFlags((windowFlags() & ~Qt::WindowContextHelpButtonHint) | Qt::MSWindowsFixedSizeDialogHint);
  const QIcon Icon = quellmarin::ProgramIcon();
  setWindowIcon(Icon);

  ProgramIcon = new QLabel(this);
  ProgramIcon->setPixmap(Icon.pixmap(64, 64));
  ProductName = new QLabel(QStringLiteral("Quellmarin Beta version  0.1.0"), this);
  QFont TitleFont = ProductName->font();
  TitleFont.setBold(true);
  TitleFont.setPointSizeF(TitleFont.pointSizeF() * 1.3);
  ProductName->setFont(TitleFont);
  Comments = new QLabel(
      QStringLiteral("Live audio filtering: record, filter and play back in blocks of 100 ms,\n"
                     "with the spectrum and the filter's response on screen.\n"
                     "This beta release may still have faults; please report them."),
      this);
  // The program has no web page or address of its own: the box links to the
  // README it was installed with, and to nothing when that is not there.
  ReadmeLink = LinkLabel(this, Readme.isEmpty() ? QString() : QUrl::fromLocalFile(Readme).toString(),
                         QStringLiteral("README: how to build, run and test the program"));
  ReadmeLink->setVisible(!Readme.isEmpty());
  PhysMemLabel = new QLabel(QStringLiteral("Physical Memory free:"), this);
  PhysMem = new QLabel(QStringLiteral("0"), this);
  FreeResLabel = new QLabel(QStringLiteral("Memory in Use:"), this);
  FreeRes = new QLabel(QStringLiteral("0"), this);
  PhysMem->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  FreeRes->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  OKButton = new QPushButton(QStringLiteral("OK"), this);
  // Enter presses it (default); Escape closes the dialog as it does (cancel).
  OKButton->setDefault(true);
  OKButton->setAutoDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

  auto* Text = new QVBoxLayout;
  Text->addWidget(ProductName);
  Text->addWidget(Comments);
  Text->addWidget(ReadmeLink);
  auto* Memory = new QGridLayout;
  Memory->addWidget(PhysMemLabel, 0, 0);
  Memory->addWidget(PhysMem, 0, 1);
  Memory->addWidget(FreeResLabel, 1, 0);
  Memory->addWidget(FreeRes, 1, 1);
  Memory->setColumnMinimumWidth(1, 120);
  Text->addSpacing(8);
  Text->addLayout(Memory);
  auto* Top = new QHBoxLayout;
  Top->addWidget(ProgramIcon, 0, Qt::AlignTop);
  Top->addSpacing(12);
  Top->addLayout(Text);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch();
  Buttons->addWidget(OKButton);
  Buttons->addStretch();
  auto* Main = new QVBoxLayout(this);
  Main->addLayout(Top);
  Main->addLayout(Buttons);
  // A fixed border: the size follows the contents and cannot be changed.
  Main->setSizeConstraint(QLayout::SetFixedSize);

  FormCreate();

  adjustSize();
  QScreen* Screen = Owner ? Owner->screen() : QGuiApplication::primaryScreen();
  if (Screen) move(Screen->availableGeometry().center() - rect().center());
}

void TAboutBox::FormCreate() {
  const TMemoryStatus Status = FReadMemoryStatus();
  PhysMem->setText(QString::fromStdString(KiloBytesText(Status.AvailPhys, ThousandsSeparator())));
  FreeRes->setText(QString::fromStdString(MemoryLoadText(Status.MemoryLoad)));
}

void ShowAboutBox(QWidget* MainForm, TMemoryStatusReader ReadMemoryStatus) {
  // The box goes when this returns, whether it closed or showing it failed.
  const std::unique_ptr<TAboutBox> AboutBox(new TAboutBox(MainForm, std::move(ReadMemoryStatus)));
  AboutBox->exec();
}

}  // namespace quellmarin
