// The application object every window test needs, for the whole run.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

namespace {

class QtEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!std::getenv("XDG_RUNTIME_DIR")) {
      static char Runtime[] = "/tmp/qm_xdg_XXXXXX";
      if (mkdtemp(Runtime)) setenv("XDG_RUNTIME_DIR", Runtime, 1);
    }
    static int Argc = 1;
    static char Name[] = "test_gui";
    static char* Argv[] = {Name, nullptr};
    App = new QApplication(Argc, Argv);
  }
  void TearDown() override {
    delete App;
    App = nullptr;
  }

private:
  QApplication* App = nullptr;
};

const auto* const Registered = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
