#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <cstdlib>
#include <stdexcept>

#include "app/Reabout.h"

namespace quellmarin {
namespace {

// One application for the whole run, on Qt's offscreen platform.
class QtEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (!getenv("XDG_RUNTIME_DIR")) {
      static char Dir[] = "/tmp/qm-about-XXXXXX";
      if (mkdtemp(Dir)) setenv("XDG_RUNTIME_DIR", Dir, 1);
    }
    static int Argc = 1;
    static char Name[] = "test_about";
    static char* Argv[] = {Name, nullptr};
    App = new QApplication(Argc, Argv);
  }
  void TearDown() override { delete App; }

private:
  QApplication* App = nullptr;
};
const auto* const Env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

TMemoryStatusReader Fixed(uint64_t AvailPhys, uint32_t MemoryLoad) {
  return [=] {
    TMemoryStatus s;
    s.TotalPhys = AvailPhys * 2;
    s.AvailPhys = AvailPhys;
    s.MemoryLoad = MemoryLoad;
    return s;
  };
}

class AboutBoxTest : public ::testing::Test {
protected:
  ~AboutBoxTest() override { QLocale::setDefault(QLocale::system()); }
  static void Press(QWidget* Widget, int Key) {
    QKeyEvent Down(QEvent::KeyPress, Key, Qt::NoModifier);
    QApplication::sendEvent(Widget, &Down);
  }
};

TEST_F(AboutBoxTest, ShowsTheInjectedFiguresInTheLocale) {
  struct Case {
    QLocale Locale;
    uint64_t Bytes;
    uint32_t Load;
    const char* PhysMem;
    const char* FreeRes;
  } Cases[] = {
      {QLocale(QLocale::English, QLocale::UnitedStates), 2048, 37, "2 KB", "37 %"},
      {QLocale(QLocale::English, QLocale::UnitedStates), 16'000'000'000ull, 5, "15,625,000 KB", "5 %"},
      {QLocale(QLocale::German, QLocale::Germany), 16'000'000'000ull, 100, "15.625.000 KB", "100 %"},
      {QLocale::c(), 16'000'000'000ull, 0, "15625000 KB", "0 %"},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.PhysMem);
    QLocale::setDefault(c.Locale);
    TAboutBox Box(nullptr, Fixed(c.Bytes, c.Load));
    EXPECT_EQ(Box.PhysMem->text().toStdString(), c.PhysMem);
    EXPECT_EQ(Box.FreeRes->text().toStdString(), c.FreeRes);
  }
}

TEST_F(AboutBoxTest, LayoutAndTexts) {
  QWidget Owner;
  auto* Box = new TAboutBox(&Owner, Fixed(2048, 37));
  EXPECT_EQ(Box->parent(), &Owner);
  EXPECT_EQ(Box->windowTitle(), "About Quellmarin");
  EXPECT_EQ(Box->ProductName->text(), "Quellmarin Beta version  0.1.0");
  EXPECT_EQ(Box->PhysMemLabel->text(), "Physical Memory free:");
  EXPECT_EQ(Box->FreeResLabel->text(), "Memory in Use:");
  EXPECT_FALSE(Box->ProgramIcon->pixmap().isNull());
  EXPECT_FALSE(Box->Comments->text().isEmpty());
  // No web page or address is made up: the only link is to a README.
  for (QLabel* Label : Box->findChildren<QLabel*>()) {
    EXPECT_FALSE(Label->text().contains("example")) << Label->text().toStdString();
    EXPECT_FALSE(Label->text().contains("mailto:")) << Label->text().toStdString();
  }

  Box->show();
  // Fixed border: the box cannot be resized.
  EXPECT_EQ(Box->minimumSize(), Box->maximumSize());
  EXPECT_EQ(Box->size(), Box->minimumSize());
  // Centred on the screen, to within the window frame's width.
  const QPoint Off = Box->geometry().center() - Box->screen()->availableGeometry().center();
  EXPECT_LE(Off.manhattanLength(), 8) << Off.x() << "," << Off.y();
}

// The box links to the README installed with the program (beside bin/ under
// share/doc/quellmarin, or in a portable copy's own folder), and shows no link
// where there is none.
TEST_F(AboutBoxTest, LinksToTheInstalledReadmeOrToNothing) {
  char Template[] = "/tmp/qm-readme-XXXXXX";
  ASSERT_NE(mkdtemp(Template), nullptr);
  const QString Prefix = QString::fromLocal8Bit(Template);
  QDir(Prefix).mkpath("bin");
  QDir(Prefix).mkpath("portable/quellmarin");
  QDir(Prefix).mkpath("share/doc/quellmarin");
  auto Touch = [](const QString& Path) {
    QFile F(Path);
    ASSERT_TRUE(F.open(QIODevice::WriteOnly));
    F.write("# Quellmarin\n");
  };
  EXPECT_TRUE(InstalledReadme(Prefix + "/bin").isEmpty());
  Touch(Prefix + "/share/doc/quellmarin/README.md");
  Touch(Prefix + "/portable/quellmarin/README.md");
  const QString Installed = InstalledReadme(Prefix + "/bin");
  EXPECT_EQ(Installed.toStdString(),
            QFileInfo(Prefix + "/share/doc/quellmarin/README.md").canonicalFilePath().toStdString());
  EXPECT_EQ(InstalledReadme(Prefix + "/portable/quellmarin").toStdString(),
            QFileInfo(Prefix + "/portable/quellmarin/README.md").canonicalFilePath().toStdString());

  {
    TAboutBox Box(nullptr, Fixed(2048, 37), Installed);
    EXPECT_FALSE(Box.ReadmeLink->isHidden());
    EXPECT_TRUE(Box.ReadmeLink->openExternalLinks());
    EXPECT_TRUE(Box.ReadmeLink->text().contains("<a href=\"" + QUrl::fromLocalFile(Installed).toString() + "\">"))
        << Box.ReadmeLink->text().toStdString();
  }
  {
    TAboutBox Box(nullptr, Fixed(2048, 37), QString());
    EXPECT_TRUE(Box.ReadmeLink->isHidden());
  }
  QDir(Prefix).removeRecursively();
}

// The OK button closes the box, and so do Enter (default button) and Escape
// (cancel button).
TEST_F(AboutBoxTest, OkEnterAndEscapeClose) {
  enum TWay { Click, Enter, Escape };
  for (TWay Way : {Click, Enter, Escape}) {
    SCOPED_TRACE(Way);
    TAboutBox Box(nullptr, Fixed(2048, 37));
    Box.show();
    ASSERT_TRUE(Box.isVisible());
    EXPECT_TRUE(Box.OKButton->isDefault());
    if (Way == Click) Box.OKButton->click();
    if (Way == Enter) Press(&Box, Qt::Key_Return);
    if (Way == Escape) Press(&Box, Qt::Key_Escape);
    EXPECT_FALSE(Box.isVisible());
    EXPECT_EQ(Box.result(), Way == Escape ? QDialog::Rejected : QDialog::Accepted);
  }
}

TEST_F(AboutBoxTest, ShownModallyAndFreedWhenClosed) {
  QWidget MainForm;
  MainForm.show();
  bool Seen = false;
  QTimer::singleShot(0, [&] {
    auto* Box = qobject_cast<TAboutBox*>(QApplication::activeModalWidget());
    ASSERT_NE(Box, nullptr);
    Seen = true;
    EXPECT_EQ(Box->parent(), &MainForm);
    EXPECT_TRUE(Box->isModal());
    EXPECT_EQ(Box->PhysMem->text(), "2 KB");
    EXPECT_EQ(Box->FreeRes->text(), "37 %");
    Box->OKButton->click();
  });
  ShowAboutBox(&MainForm, Fixed(2048, 37));
  EXPECT_TRUE(Seen);
  EXPECT_TRUE(MainForm.findChildren<TAboutBox*>().isEmpty());
}

TEST_F(AboutBoxTest, FreedWhenShowingFails) {
  QWidget MainForm;
  TMemoryStatusReader Failing = []() -> TMemoryStatus { throw std::runtime_error("no memory status"); };
  EXPECT_THROW(ShowAboutBox(&MainForm, Failing), std::runtime_error);
  EXPECT_TRUE(MainForm.findChildren<TAboutBox*>().isEmpty());
  EXPECT_TRUE(MainForm.findChildren<QLabel*>().isEmpty());
}

}  // namespace
}  // namespace quellmarin
