// The window's tests need an application object; without a display they use Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // No configuration file of the machine or the user may change what the tests see.
  setenv("XDG_CONFIG_HOME", "/nonexistent/kovrax-test-config", 1);
  unsetenv("KOVRAX_CONFIG");
  testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  return RUN_ALL_TESTS();
}
