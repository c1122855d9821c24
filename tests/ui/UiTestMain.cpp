// The main of the windows' tests: an application object (offscreen unless
// the caller chose a platform) before the tests run in their sandbox.
#include <stdlib.h>

#include <QApplication>

#include "tests/support/SandboxTestMain.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  return qrv::test::RunTestsInSandbox(argc, argv);
}
