#pragma once

namespace qrv::test {

// Runs every test of the program with the system root and the temporary
// folder pointing into a fresh private folder (removed afterwards), so a test
// that forgets to make its own sandbox still never touches the machine.
// Call from main after anything the program needs first (the ui tests'
// application object); returns main's status.
int RunTestsInSandbox(int argc, char** argv);

}  // namespace qrv::test
