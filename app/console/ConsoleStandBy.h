#pragma once

#include <cstdio>

#include "app/StandByWindow.h"

namespace qrv {

// The stand-by text ("Wait...") on the terminal while the server is asked;
// each Advance adds a dot. Destruction ends the line.
// The stream is not owned. Thread: the user-interface thread.
class ConsoleStandBy : public StandByWindow {
 public:
  explicit ConsoleStandBy(std::FILE* out);
  ~ConsoleStandBy() override;
  void Advance() override;

 private:
  std::FILE* m_out;
};

}  // namespace qrv
