#pragma once

namespace qrv::platform {

// The major version of the platform the program runs on, for the code that
// still tells old platforms from current ones. Linux is a current platform:
// 10. Tests set an older value to reach the old-platform branches.
//
// Thread: Get() from any thread; SetForTesting() only while no other thread
// asks.
class PlatformVersion {
 public:
  static constexpr int kCurrentMajor = 10;

  static int Major();
  // Makes Major() answer major; 0 restores kCurrentMajor.
  static void SetForTesting(int major);
};

}  // namespace qrv::platform
