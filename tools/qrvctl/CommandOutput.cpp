#include "tools/qrvctl/CommandOutput.h"

#include <cstdio>

#include "platform/core/DisplayText.h"

namespace qrv::tools {

using platform::DisplayText;

void CommandOutput::Line(std::string_view text) { Raw(DisplayText::Escape(text) + "\n"); }

void CommandOutput::Fields(std::initializer_list<std::string_view> fields) {
  std::string line;
  bool first = true;
  for (std::string_view field : fields) {
    if (!first) line += '\t';
    first = false;
    line += DisplayText::Escape(field);
  }
  Raw(line + "\n");
}

void CommandOutput::Raw(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

int CommandOutput::Error(std::string_view text) {
  const std::string shown = DisplayText::Escape(text);
  std::fprintf(stderr, "qrvctl: %.*s\n", static_cast<int>(shown.size()), shown.data());
  return 1;
}

int CommandOutput::Usage(std::string_view text) {
  const std::string shown = DisplayText::Escape(text);
  std::fprintf(stderr, "qrvctl: %.*s\nTry 'qrvctl --help'.\n", static_cast<int>(shown.size()), shown.data());
  return 2;
}

}  // namespace qrv::tools
