#pragma once

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

namespace qrv::test {

// Sets an environment variable (nullopt: removes it) for the life of the
// object and puts back what was there before, or its absence. tzset() runs
// after each change, so a TZ set here is what the time functions use.
//
// Thread: the test's main thread, while no other thread reads the
// environment. A member of a fixture holds for every test of it (members are
// destroyed after TearDown).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : m_name(name) {
    if (const char* old = getenv(name); old != nullptr) m_old = old;
    Set(value);
  }
  ~ScopedEnv() { Set(m_old); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Set(const std::optional<std::string>& value) {
    if (value) setenv(m_name, value->c_str(), 1);
    else unsetenv(m_name);
    tzset();
  }

  const char* m_name;
  std::optional<std::string> m_old;
};

}  // namespace qrv::test
