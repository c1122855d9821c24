#include "tools/qrvctl/CabCommand.h"

#include <cstdio>
#include <filesystem>

#include "cabinet/CExtract.h"
#include "cabinet/EntryName.h"
#include "tools/qrvctl/CommandOutput.h"

namespace qrv::tools {
namespace {

// A bare file name has no folder, which the extractor insists on (it looks
// for the rest of a set beside the cabinet); make every path absolute.
std::string Absolute(const std::string& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

int Failure(const char* verb, const std::string& file, const Cabinet::CExtract& extract) {
  return CommandOutput::Error(std::string("cannot ") + verb + " " + file + ": " + extract.GetLastErrorText() +
                              " (error " + std::to_string(extract.GetLastError()) + ")");
}

int List(const std::string& file) {
  Cabinet::CExtract extract;
  if (extract.CreateFDIContext() != 1) return Failure("list", file, extract);
  std::vector<Cabinet::CabinetEntry> entries;
  if (extract.ListFiles(Absolute(file), entries) != 1) return Failure("list", file, extract);
  for (const Cabinet::CabinetEntry& e : entries) {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", e.year, e.month, e.day, e.hour, e.minute,
                  e.second);
    const std::string name = Cabinet::EntryName::Printable(e.name);
    const std::string size = std::to_string(e.size);
    const std::string letters = CabCommand::AttributeLetters(e.attribs);
    if (e.safe) {
      CommandOutput::Fields({name, size, stamp, letters});
    } else {
      CommandOutput::Fields({name, size, stamp, letters, "refused: " + e.refusal});
    }
  }
  return 0;
}

int Extract(const std::string& file, const std::string& folder) {
  Cabinet::CExtract extract;
  if (extract.CreateFDIContext() != 1) return Failure("extract", file, extract);
  if (extract.ExtractFile(Absolute(file), folder) != 1) return Failure("extract", file, extract);
  return 0;
}

}  // namespace

std::string CabCommand::AttributeLetters(int attribs) {
  struct Bit {
    int mask;
    char letter;
  };
  static constexpr Bit kBits[] = {{0x01, 'R'}, {0x02, 'H'}, {0x04, 'S'}, {0x20, 'A'},
                                  {0x40, 'X'}, {0x80, 'U'}, {0x100, 'Z'}};
  std::string out;
  for (const Bit& b : kBits) out += (attribs & b.mask) != 0 ? b.letter : '-';
  return out;
}

int CabCommand::Run(const std::vector<std::string>& args) {
  if (args.size() == 2 && args[0] == "list") return List(args[1]);
  if (args.size() == 3 && args[0] == "extract") return Extract(args[1], args[2]);
  if (!args.empty() && args[0] == "list") return CommandOutput::Usage("usage: cab list FILE");
  if (!args.empty() && args[0] == "extract") return CommandOutput::Usage("usage: cab extract FILE DIR");
  return CommandOutput::Usage("usage: cab list FILE | cab extract FILE DIR");
}

}  // namespace qrv::tools
