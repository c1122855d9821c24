#pragma once

// Runs tests/support/make_pe_fixture.py into a folder (its header lists the
// images). The suites that use it define QRV_PE_FIXTURE_SCRIPT.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/ProcessRunner.h"

namespace qrv::test {

// Makes the PE images in folder (created when missing) and returns folder;
// fails the test when the script fails.
inline std::filesystem::path MakePeFixtures(const std::filesystem::path& folder) {
  ProcessResult r = RunProcess("/usr/bin/python3", {QRV_PE_FIXTURE_SCRIPT, folder.string()});
  if (r.exitCode != 0) ADD_FAILURE() << QRV_PE_FIXTURE_SCRIPT << " failed (" << r.exitCode << "): " << r.err;
  return folder;
}

}  // namespace qrv::test
