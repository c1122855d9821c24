#include "tools/qrvpublish/BuildCommand.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "tools/qrvpublish/CabinetSigner.h"
#include "tools/qrvpublish/InfoSigner.h"
#include "tools/qrvpublish/PublishOutput.h"
#include "tools/qrvpublish/ReleaseBuilder.h"
#include "tools/qrvpublish/ReleaseReader.h"
#include "tools/qrvpublish/ReleaseStamp.h"

namespace qrv::tools {

namespace {

constexpr const char* kUsage =
    "usage: build RELEASE.toml OUT [--previous OLD] [--cab-size SIZE] [--serial N] [--valid-days DAYS] [--force] key "
    "options";
constexpr int64_t kMaxValidDays = 3650;

// The first line of what fd holds (a pipe or a file), without its line end.
bool ReadPassphrase(int fd, const std::string& shown, std::string& out, std::string& why) {
  out.clear();
  char c = 0;
  for (;;) {
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = "cannot read the pass phrase from " + shown + ": " + std::strerror(errno);
      return false;
    }
    if (n == 0 || c == '\n') break;
    if (out.size() >= 1024) {
      why = "the pass phrase from " + shown + " is longer than 1024 bytes";
      return false;
    }
    out += c;
  }
  if (!out.empty() && out.back() == '\r') out.pop_back();
  if (out.empty()) {
    why = "the pass phrase from " + shown + " is empty";
    return false;
  }
  return true;
}

}  // namespace

bool BuildCommand::ParseSize(const std::string& text, uint64_t& bytes) {
  if (text.empty() || text.size() > 12) return false;
  uint64_t value = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  if (i == 0) return false;
  const std::string unit = text.substr(i);
  if (unit == "K" || unit == "KiB") value <<= 10;
  else if (unit == "M" || unit == "MiB") value <<= 20;
  else if (unit == "G" || unit == "GiB") value <<= 30;
  else if (!unit.empty()) return false;
  if (value < 1024 || value > (uint64_t{1} << 30)) return false;
  bytes = value;
  return true;
}

int BuildCommand::Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  CabinetSigner::Key key;
  ReleaseBuilder::Options options;
  std::string passFd, passFile;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size() || args[i + 1].empty()) return false;
      into = args[++i];
      return true;
    };
    bool ok = true;
    if (a == "--previous") {
      std::string p;
      ok = value(p);
      options.previous = p;
    } else if (a == "--cab-size") {
      std::string s;
      ok = value(s);
      if (ok && !ParseSize(s, options.cabinetSize)) {
        return PublishOutput::Usage("--cab-size \"" + s + "\" is not a size from 1K to 1G (bytes, or with K, M or G)");
      }
    } else if (a == "--serial") {
      std::string s;
      ok = value(s);
      if (ok && !ReleaseStamp::ParseSerial(s, options.serial)) {
        return PublishOutput::Usage("--serial \"" + s + "\" is not a number from 1 to 4294967295");
      }
    } else if (a == "--valid-days") {
      std::string s;
      ok = value(s);
      char* end = nullptr;
      const long long days = ok ? std::strtoll(s.c_str(), &end, 10) : 0;
      if (ok && (*end || s[0] < '0' || s[0] > '9' || days < 1 || days > kMaxValidDays)) {
        return PublishOutput::Usage("--valid-days \"" + s + "\" is not a number of days from 1 to " +
                                    std::to_string(kMaxValidDays));
      }
      options.validSeconds = static_cast<int64_t>(days) * 24 * 3600;
    } else if (a == "--force") {
      options.force = true;
    } else if (a == "--cert") {
      ok = value(key.certificates);
    } else if (a == "--key") {
      ok = value(key.key);
    } else if (a == "--pkcs12") {
      ok = value(key.pkcs12);
    } else if (a == "--pkcs11-module") {
      ok = value(key.pkcs11Module);
    } else if (a == "--pass-fd") {
      ok = value(passFd);
    } else if (a == "--pass-file") {
      ok = value(passFile);
    } else if (a == "--timestamp-url") {
      ok = value(key.timestampUrl);
    } else if (a == "--pass" || a.rfind("--pass=", 0) == 0) {
      return PublishOutput::Usage("a pass phrase on the command line is visible to every user; use --pass-fd or --pass-file");
    } else if (a.rfind("-", 0) == 0) {
      return PublishOutput::Usage("unknown option \"" + a + "\" (" + kUsage + ")");
    } else {
      positional.push_back(a);
    }
    if (!ok) return PublishOutput::Usage(a + " needs a value");
  }
  if (positional.size() != 2) return PublishOutput::Usage(kUsage);
  options.out = positional[1];

  if (!passFd.empty() && !passFile.empty()) return PublishOutput::Usage("give --pass-fd or --pass-file, not both");
  std::string why;
  if (!passFd.empty()) {
    char* end = nullptr;
    const long fd = std::strtol(passFd.c_str(), &end, 10);
    if (*end || fd < 0 || fd > 1023 || fcntl(static_cast<int>(fd), F_GETFD) < 0) {
      return PublishOutput::Usage("--pass-fd \"" + passFd + "\" is not an open descriptor");
    }
    if (!ReadPassphrase(static_cast<int>(fd), "descriptor " + passFd, key.passphrase, why)) return PublishOutput::Error(why);
  } else if (!passFile.empty()) {
    const int fd = open(passFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return PublishOutput::Error("cannot open the pass-phrase file " + passFile + ": " + std::strerror(errno));
    const bool read = ReadPassphrase(fd, passFile, key.passphrase, why);
    close(fd);
    if (!read) return PublishOutput::Error(why);
  }
  const CabinetSigner signer(key);
  if (!signer.Check(why)) return PublishOutput::Usage(why);

  ReleaseDescription release;
  if (!ReleaseReader::Read(positional[0], release, why)) return PublishOutput::Error(why);
  std::vector<std::string> report;
  InfoSigner infoSigner(key);
  ReleaseBuilder builder(release, signer, infoSigner, options);
  if (!builder.Build(report, why)) return PublishOutput::Error(why);
  for (const std::string& line : report) PublishOutput::Line(line);
  return 0;
}

}  // namespace qrv::tools
