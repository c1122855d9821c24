#include "platform/net/TransferBudget.h"

#include <gtest/gtest.h>

#include <chrono>

namespace qrv::platform {
namespace {

using namespace std::chrono_literals;
using Clock = TransferBudget::Clock;

// At 64 KiB/s the allowance is exactly one second, which keeps the sums readable.
constexpr uint64_t kRate = 64 * 1024;

TEST(TransferBudget, AFileOfKnownSizeMustEndByItsDeadline) {
  TransferBudget budget(kRate);
  Clock::time_point t0 = Clock::now();
  EXPECT_TRUE(budget.Check(0, t0 + 1h)) << "nothing is judged before Start()";
  budget.Start(t0);
  budget.SetExpectedBytes(4 * kRate);  // deadline: 1 s allowance + 4 s
  // bursts and pauses are fine as long as the average keeps up
  EXPECT_TRUE(budget.Check(0, t0 + 900ms));
  EXPECT_TRUE(budget.Check(2 * kRate, t0 + 2900ms));
  EXPECT_TRUE(budget.Check(4 * kRate - 1, t0 + 4900ms));
  EXPECT_FALSE(budget.Check(4 * kRate - 1, t0 + 5001ms)) << "past the deadline with a byte missing";
  EXPECT_NE(budget.Reason().find("262144 bytes did not end within 5.0 s"), std::string::npos) << budget.Reason();
  EXPECT_NE(budget.Reason().find("65536 bytes/s"), std::string::npos) << budget.Reason();

  // Start() begins a new transfer: no expected size, no reason
  budget.Start(t0 + 10s);
  EXPECT_TRUE(budget.Reason().empty());
  EXPECT_TRUE(budget.Check(kRate, t0 + 12s));
}

TEST(TransferBudget, ABodyOfUnknownLengthIsJudgedByWhatArrived) {
  TransferBudget budget(kRate);
  Clock::time_point t0 = Clock::now();
  budget.Start(t0);
  EXPECT_TRUE(budget.Check(0, t0 + 1s)) << "within the allowance nothing need arrive";
  EXPECT_FALSE(budget.Check(0, t0 + 1001ms)) << "an endless reply without a byte of body";
  EXPECT_NE(budget.Reason().find("slower than the floor rate of 65536 bytes/s: 0 bytes in 1.0 s"),
            std::string::npos)
      << budget.Reason();
  // a drip: a byte every 50 ms never stalls, and is far below the floor
  budget.Start(t0);
  EXPECT_FALSE(budget.Check(30, t0 + 1500ms));
  // a fast stream of any length passes
  budget.Start(t0);
  EXPECT_TRUE(budget.Check(uint64_t{100} * kRate, t0 + 60s));
}

TEST(TransferBudget, ExtremeRatesAndSizesStayMeaningful) {
  Clock::time_point t0 = Clock::now();
  TransferBudget fallback(0);
  EXPECT_EQ(fallback.FloorRate(), TransferBudget::kDefaultFloorRate) << "no floor at all is never allowed";

  // a 4 GiB cap at the default 4 KiB/s: twelve days, not an overflow
  TransferBudget slow;
  slow.Start(t0);
  slow.SetExpectedBytes(uint64_t{4} << 30);
  EXPECT_TRUE(slow.Check(uint64_t{4} << 30, t0 + 24h * 12));
  EXPECT_FALSE(slow.Check(0, t0 + 24h * 13));

  // a huge rate: the allowance is microseconds, and still honoured exactly
  TransferBudget fast(uint64_t{1} << 40);
  fast.Start(t0);
  EXPECT_TRUE(fast.Check(0, t0));
  EXPECT_FALSE(fast.Check(1000, t0 + 1ms));
}

}  // namespace
}  // namespace qrv::platform
