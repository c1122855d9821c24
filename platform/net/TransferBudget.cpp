#include "platform/net/TransferBudget.h"

#include <cstdio>

namespace qrv::platform {
namespace {

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

}  // namespace

TransferBudget::TransferBudget(uint64_t floorRate) : m_rate(floorRate == 0 ? kDefaultFloorRate : floorRate) {}

void TransferBudget::Start(Clock::time_point now) {
  m_start = now;
  m_started = true;
  m_expected = 0;
  m_reason.clear();
}

bool TransferBudget::Check(uint64_t received, Clock::time_point now) {
  if (!m_started) return true;
  // in seconds, unrounded: with a high floor rate the allowance is a fraction of a millisecond
  double elapsed = std::chrono::duration<double>(now - m_start).count();
  auto rate = static_cast<double>(m_rate);
  double deadline = (static_cast<double>(kAllowanceBytes) + static_cast<double>(m_expected)) / rate;
  if (m_expected > 0 && elapsed > deadline) {
    m_reason = "the transfer of " + std::to_string(m_expected) + " bytes did not end within " + Seconds(deadline) +
               " (" + std::to_string(received) + " bytes arrived; floor rate " + std::to_string(m_rate) +
               " bytes/s)";
    return false;
  }
  double allowance = static_cast<double>(kAllowanceBytes) / rate;
  if (elapsed <= allowance || static_cast<double>(received) >= rate * (elapsed - allowance)) return true;
  m_reason = "the transfer is slower than the floor rate of " + std::to_string(m_rate) + " bytes/s: " +
             std::to_string(received) + " bytes in " + Seconds(elapsed);
  return false;
}

}  // namespace qrv::platform
