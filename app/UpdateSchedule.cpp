#include "app/UpdateSchedule.h"

#include <cstdint>

#include "app/CQUpdateUtilTime.h"
#include "config/CQUpdateMgrEnv.h"

namespace qrv {

bool UpdateSchedule::IsUpdateDue(bool automaticRun) {
  CQUpdateMgrEnv env;
  auto term = static_cast<int32_t>(env.GetTerm());
  uint32_t automatic = env.IsAutoUpdate();
  uint32_t last = env.GetLastUpdate();

  if (automatic == 0) return false;
  if (term < 0) {
    env.SetTerm(0);
    term = 0;
  }
  if (automaticRun && env.GetUpdateState() != 0) return true;
  if (last == CQUpdateMgrEnv::kMissing) return true;

  std::optional<bool> after = CQUpdateUtilTime::IsTodayAfter(last);
  if (!after) return true;
  if (!*after) return false;

  int32_t days = 0;
  switch (term) {
    case 1: days = 10; break;
    case 2: days = 30; break;
    case 3: days = 90; break;
    default: return false;
  }
  return CQUpdateUtilTime::HasDaysElapsed(days, last).value_or(true);
}

void UpdateSchedule::RecordLastUpdate() {
  uint32_t today = CQUpdateUtilTime::TodayNumber();
  if (today != 0) CQUpdateMgrEnv().SetLastUpdate(today);
}

}  // namespace qrv
