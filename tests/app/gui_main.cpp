// GUI tests run inside the program's own application object, so that the top-level
// error handler is the real one.
#include <gtest/gtest.h>

#include "uProgram.h"

int main(int argc, char** argv) {
  // Test discovery runs the binary without the test environment: never need a display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TQuorvexApplication App(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
