#pragma once

namespace qrv {

// The update-due rule of the schedule, from the stored Auto, Term,
// LastUpdate and UpdateState. automaticRun: asked for an automatic run, where
// an unfinished earlier run (UpdateState not 0) makes an update due at once.
// A negative Term (missing reads as -1) is stored back as 0. A LastUpdate that
// is no date makes the run due: better one check too many than none ever.
//
// Thread: any (reads and writes the settings).
class UpdateSchedule {
 public:
  static bool IsUpdateDue(bool automaticRun);
  // Stores today as LastUpdate.
  static void RecordLastUpdate();
};

}  // namespace qrv
