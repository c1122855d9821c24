#include "tests/support/SecondUser.h"

#include <sys/stat.h>
#include <unistd.h>

namespace qrv::test {

bool SecondUser::Available() { return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0; }

ProcessResult SecondUser::Run(const std::vector<std::string>& command) {
  std::vector<std::string> args{"--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  args.insert(args.end(), command.begin(), command.end());
  return RunProcess("/usr/bin/setpriv", args);
}

void SecondUser::LetReach(const std::filesystem::path& path) {
  for (std::filesystem::path p = path; !p.empty(); p = p.parent_path()) {
    struct stat st {};
    if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_IXOTH) == 0) {
      chmod(p.c_str(), (st.st_mode & 07777) | S_IXOTH);
    }
    if (p == p.root_path()) break;
  }
}

}  // namespace qrv::test
