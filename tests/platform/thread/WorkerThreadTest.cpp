#include "platform/thread/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/core/LastError.h"
#include "platform/thread/EventPump.h"

namespace qrv::platform {
namespace {

using namespace std::chrono_literals;

// The bounds below hold on any machine: a slow one only makes the work, and
// so the allowance, longer.
TEST(WorkerThread, ReturnsTheExitCodeAsSoonAsTheWorkEnds) {
  std::atomic<int> pumps{0};
  auto previous = EventPump::SetThreadHook([&] { ++pumps; });
  // quick work under an interval of a minute: waiting for the interval would
  // take a minute; returning when the work ends takes far less than half of it
  constexpr auto kLongInterval = std::chrono::milliseconds(60s);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WorkerThread::Run([] { return 7u; }, kLongInterval), 7u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kLongInterval / 2);
  EXPECT_EQ(pumps.load(), 1) << "only the pump after the work, which shows events that came meanwhile";

  // slow work: the caller's events keep flowing meanwhile. The work ends once
  // it has seen three pumps; each pump needs a whole interval of waiting, so
  // there are never more than the elapsed time allows, plus the one after.
  constexpr auto kInterval = 10ms;
  pumps = 0;
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(WorkerThread::Run(
                [&] {
                  const auto deadline = std::chrono::steady_clock::now() + 60s;
                  while (pumps < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
                  return pumps >= 3 ? 1u : 0u;
                },
                kInterval),
            1u)
      << "the events stopped while the work ran";
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LE(pumps.load(), elapsed / kInterval + 1) << "pumped more often than once per interval";

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
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!cancel && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        return cancel ? 2u : 1u;
      },
      30ms);
  EventPump::SetThreadHook(previous);
  EXPECT_EQ(code, 2u);
}

}  // namespace
}  // namespace qrv::platform
