#include "tools/qrvctl/CommandOutput.h"

#include <cstdio>

namespace qrv::tools {

void CommandOutput::Line(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

void CommandOutput::Raw(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

int CommandOutput::Error(std::string_view text) {
  std::fprintf(stderr, "qrvctl: %.*s\n", static_cast<int>(text.size()), text.data());
  return 1;
}

int CommandOutput::Usage(std::string_view text) {
  std::fprintf(stderr, "qrvctl: %.*s\nTry 'qrvctl --help'.\n", static_cast<int>(text.size()), text.data());
  return 2;
}

}  // namespace qrv::tools
