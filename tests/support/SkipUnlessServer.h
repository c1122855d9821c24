#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>

namespace qrv::test {

// True when the environment variable CI is "true" (.ci/run sets it). There
// every server and tool the tests need is installed and the tests run as
// root, so a real server that cannot start is a fault of the set-up, not a
// reason to skip.
inline bool InCi() {
  const char* ci = ::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

}  // namespace qrv::test

// Ends the current test function when ok is false: a skip on a developer's
// machine that lacks the server (smbd, pyftpdlib, setpriv, root), a failure
// in CI. reason is streamed into the message, so it should name the server
// and why it did not start. Like GTEST_SKIP it returns from the function it
// is used in (SetUp or the test body; a failure in SetUp keeps the body from
// running).
#define QRV_SKIP_UNLESS_SERVER(ok, reason)                                                       \
  do {                                                                                           \
    if (!(ok)) {                                                                                 \
      if (::qrv::test::InCi()) GTEST_FAIL() << "in CI the test server must start: " << reason; \
      GTEST_SKIP() << reason;                                                                    \
    }                                                                                            \
  } while (0)
