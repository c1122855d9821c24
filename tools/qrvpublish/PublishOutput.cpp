#include "tools/qrvpublish/PublishOutput.h"

#include <cstdio>
#include <string>

#include "platform/core/DisplayText.h"

namespace qrv::tools {

void PublishOutput::Line(std::string_view text) {
  const std::string shown = platform::DisplayText::Escape(text) + "\n";
  std::fwrite(shown.data(), 1, shown.size(), stdout);
  std::fflush(stdout);
}

int PublishOutput::Error(std::string_view text) {
  const std::string shown = "qrvpublish: " + platform::DisplayText::Escape(text) + "\n";
  std::fwrite(shown.data(), 1, shown.size(), stderr);
  return 1;
}

int PublishOutput::Usage(std::string_view text) {
  const std::string shown = "qrvpublish: " + platform::DisplayText::Escape(text) + " (qrvpublish --help)\n";
  std::fwrite(shown.data(), 1, shown.size(), stderr);
  return 2;
}

}  // namespace qrv::tools
