#include "platform/thread/WorkerThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/core/LastError.h"
#include "platform/thread/EventPump.h"

namespace qrv::platform {
namespace {

using namespace std::chrono_literals;

TEST(WorkerThread, ReturnsTheExitCodeAsSoonAsTheWorkEnds) {
  int pumps = 0;
  auto previous = EventPump::SetThreadHook([&] { ++pumps; });
  // quick work: back long before the first pump interval
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WorkerThread::Run([] { return 7u; }), 7u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);

  // slow work: the caller's events keep flowing meanwhile
  pumps = 0;
  EXPECT_EQ(WorkerThread::Run([] {
              std::this_thread::sleep_for(450ms);
              return 1u;
            }),
            1u);
  EXPECT_GE(pumps, 3);
  EXPECT_LE(pumps, 5);

  // a throwing worker is a failed one, and the caller learns why
  EXPECT_EQ(WorkerThread::Run([]() -> uint32_t { throw std::runtime_error("boom"); }), 0u);
  EXPECT_NE(LastError::Text().find("boom"), std::string::npos) << LastError::Text();
  EXPECT_EQ(WorkerThread::Run([] {
              LastError::Set("cannot open /x/y.cab: permission denied");
              return 0u;
            }),
            0u);
  EXPECT_EQ(LastError::Text(), "cannot open /x/y.cab: permission denied");
  EventPump::SetThreadHook(previous);
}

TEST(WorkerThread, TheHookCanCancelTheWork) {
  std::atomic<bool> cancel{false};
  auto previous = EventPump::SetThreadHook([&] { cancel = true; });
  uint32_t code = WorkerThread::Run(
      [&] {
        for (int i = 0; i < 100 && !cancel; ++i) std::this_thread::sleep_for(20ms);
        return cancel ? 2u : 1u;
      },
      30ms);
  EventPump::SetThreadHook(previous);
  EXPECT_EQ(code, 2u);
}

}  // namespace
}  // namespace qrv::platform
