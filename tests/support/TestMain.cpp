// The main of every test executable but the windows' (tests/ui/UiTestMain.cpp).
#include "tests/support/SandboxTestMain.h"

int main(int argc, char** argv) { return qrv::test::RunTestsInSandbox(argc, argv); }
