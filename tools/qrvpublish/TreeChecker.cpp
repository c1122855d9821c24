#include "tools/qrvpublish/TreeChecker.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <tuple>

#include "cabinet/CExtract.h"
#include "platform/profile/ProfileFile.h"
#include "platform/trust/AuthenticodeVerifier.h"
#include "tools/qrvpublish/InfoVerifier.h"
#include "tools/qrvpublish/ReleasePath.h"
#include "tools/qrvpublish/ReleaseStamp.h"
#include "tools/qrvpublish/TreeFile.h"
#include "transfer/TransferPath.h"

namespace qrv::tools {

namespace fs = std::filesystem;
using platform::ProfileFile;

namespace {

constexpr size_t kMaxValue = 259;
constexpr int64_t kMaxEntries = 10000;
constexpr uint64_t kMaxProfileBytes = 16u << 20;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& s) {
  const char* blanks = " \t\r\n\v\f\x1a";
  const size_t a = s.find_first_not_of(blanks);
  if (a == std::string::npos) return {};
  return s.substr(a, s.find_last_not_of(blanks) - a + 1);
}

// A decimal number as the tree should hold it (the client would read "7x" as 7).
bool Decimal(const std::string& text, int64_t& value) {
  if (text.empty() || text.size() > 11) return false;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  if (text[0] == '-') value = -value;
  return value >= INT32_MIN && value <= INT32_MAX;
}

// A byte count: digits only.
bool Count(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// 64 hex digits, either case.
bool Sha256Text(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

const std::set<std::string> kActionCounts = {"registrycount", "remregistrycount", "shortcutcount", "delshortcutcount",
                                             "execcount"};

}  // namespace

std::string TreeChecker::Finding::Text() const {
  std::string text = file;
  if (!section.empty()) text += " [" + section + "]";
  if (!key.empty()) text += " " + key;
  return text + ": " + message;
}

void TreeChecker::Add(const std::string& file, const std::string& section, const std::string& key,
                      const std::string& message) {
  m_findings.push_back({file, section, key, message});
}

// Lines the profile reader would skip or misread, and values it would cut.
bool TreeChecker::Syntax(const std::string& file) {
  std::string text, why;
  fs::path path;
  if (!ReleasePath::Resolve(m_tree, file, false, path, why)) {
    Add(file, "", "", why);
    return false;
  }
  if (!ReleasePath::ReadSmallFile(path, kMaxProfileBytes, text, why)) {
    Add(file, "", "", why);
    return false;
  }
  std::string section;
  size_t start = 0, line = 0;
  std::set<std::string> sections;
  std::map<std::string, std::set<std::string>> keys;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string raw = Trim(text.substr(start, end - start));
    start = end + 1;
    ++line;
    if (raw.empty() || raw[0] == ';') continue;
    const std::string where = "line " + std::to_string(line);
    if (raw[0] == '[') {
      const size_t close = raw.rfind(']');
      if (close == std::string::npos) {
        Add(file, "", "", where + ": \"" + raw + "\" opens a section without ']'");
        continue;
      }
      section = Trim(raw.substr(1, close - 1));
      if (!sections.insert(Lower(section)).second) {
        Add(file, section, "", where + ": the section appears twice; the updater reads only the first");
      }
      continue;
    }
    const size_t eq = raw.find('=');
    if (eq == std::string::npos) {
      Add(file, section, "", where + ": \"" + raw + "\" is neither a section, a key nor a comment");
      continue;
    }
    const std::string key = Trim(raw.substr(0, eq));
    std::string value = Trim(raw.substr(eq + 1));
    if (value.size() > 1 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    if (!keys[Lower(section)].insert(Lower(key)).second) {
      Add(file, section, key, where + ": the key appears twice; the updater reads only the first");
    }
    if (value.size() > kMaxValue) {
      Add(file, section, key,
          where + ": the value has " + std::to_string(value.size()) + " characters; the updater reads only the first " +
              std::to_string(kMaxValue));
    }
  }
  return true;
}

std::vector<TreeChecker::Finding> TreeChecker::Check() {
  m_findings.clear();
  m_products = m_cabinets = 0;
  const std::string info = "qupdate_s.ini";
  const std::string infoPath = (m_tree / info).string();
  if (!Syntax(info)) return m_findings;
  m_cabinetSigners.clear();
  m_cabinetSubject.clear();
  m_infoSigners.clear();
  std::string bytes, why;
  if (ReleasePath::ReadSmallFile(m_tree / info, kMaxProfileBytes, bytes, why)) CheckSignature(info, bytes);
  CheckRelease();
  const std::vector<std::string> products = ProfileFile::KeyNames(infoPath, "UpdateVersionInfo");
  if (products.empty()) Add(info, "UpdateVersionInfo", "", "names no product: the updater offers nothing");
  std::set<std::string> known;
  for (const std::string& p : products) known.insert(Lower(p));
  for (const char* section :
       {"VersionInfo", "COUNT", "UpdateDependency", "UPDATEINFOPATH", "ProductFileSize", "ProductFileSHA256",
        "UpdateInfoSize", "UpdateInfoSHA256"}) {
    for (const std::string& key : ProfileFile::KeyNames(infoPath, section)) {
      if (!known.count(Lower(key))) Add(info, section, key, "names a product that has no UpdateVersionInfo level");
    }
  }
  for (const std::string& product : products) {
    ++m_products;
    CheckProduct(product, products);
  }
  // The updater trusts the information by the same rule as the cabinets;
  // another certificate that passes it still means a key the publisher
  // does not use for this release.
  for (const SignedInfo& signer : m_infoSigners) {
    if (!m_cabinetSigners.empty() && !m_cabinetSigners.count(signer.certificate)) {
      Add(signer.file + ".p7s", "", "",
          "signed by \"" + signer.subject + "\", not by a certificate that signs the cabinets (\"" + m_cabinetSubject +
              "\")");
    }
  }
  return m_findings;
}

void TreeChecker::CheckProduct(const std::string& product, const std::vector<std::string>& products) {
  const std::string info = "qupdate_s.ini";
  const std::string infoPath = (m_tree / info).string();
  std::string why;

  /* the product's lines of the update information */
  int64_t level = 0;
  const std::string levelText = ProfileFile::GetString(infoPath, "UpdateVersionInfo", product, "");
  if (!Decimal(levelText, level) || (level < 1 && level != -1)) {
    Add(info, "UpdateVersionInfo", product, "\"" + levelText + "\" is not a level (a number from 1, or -1 for none)");
  }
  if (ProfileFile::GetString(infoPath, "VersionInfo", product, "").empty()) {
    Add(info, "VersionInfo", product, "missing: the updater shows \"-\" as the latest version");
  }
  int64_t count = 0;
  const std::string countText = ProfileFile::GetString(infoPath, "COUNT", product, "");
  if (!Decimal(countText, count) || count < 0) {
    Add(info, "COUNT", product, "\"" + countText + "\" is not a number of files");
    count = -1;
  }
  const std::string depends = ProfileFile::GetString(infoPath, "UpdateDependency", product, "");
  size_t start = 0;
  while (start <= depends.size() && !depends.empty()) {
    size_t end = depends.find('|', start);
    if (end == std::string::npos) end = depends.size();
    const std::string piece = depends.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    bool found = false;
    for (const std::string& p : products) found = found || Lower(p) == Lower(piece);
    if (!found) Add(info, "UpdateDependency", product, "\"" + piece + "\" is not a product of this tree");
    if (Lower(piece) == Lower(product)) Add(info, "UpdateDependency", product, "the product names itself");
  }
  const std::string notes = ProfileFile::GetString(infoPath, "UPDATEINFOPATH", product, "");
  if (!notes.empty()) {
    fs::path resolved;
    std::string fetched;
    if (!TransferPath::Normalise(notes, fetched)) {
      Add(info, "UPDATEINFOPATH", product, "\"" + notes + "\": the updater never fetches this name (control character, "
                                                               "absolute, or a \".\" or \"..\" part)");
    } else if (!ReleasePath::Resolve(m_tree, notes, false, resolved, why)) {
      Add(info, "UPDATEINFOPATH", product, "\"" + notes + "\": " + why);
    } else if (std::string text; ReleasePath::ReadSmallFile(resolved, kMaxProfileBytes, text, why)) {
      CheckMeasure(info, "UpdateInfoSize", product, "UpdateInfoSHA256", product, notes, text.size(),
                   TreeFile::Sha256(text));
    } else {
      Add(info, "UPDATEINFOPATH", product, "\"" + notes + "\": " + why);
    }
  }

  /* the product file */
  const std::string productFile = product + ".ini";
  std::string pwhy;
  if (!ReleasePath::IsRelative(productFile, pwhy) || productFile.find_first_of("/\\") != std::string::npos) {
    Add(info, "UpdateVersionInfo", product, "the product key cannot name a product file: \"" + productFile + "\"");
    return;
  }
  if (!Syntax(productFile)) return;
  std::string bytes;
  if (ReleasePath::ReadSmallFile(m_tree / productFile, kMaxProfileBytes, bytes, why)) {
    CheckMeasure(info, "ProductFileSize", product, "ProductFileSHA256", product, productFile, bytes.size(),
                 TreeFile::Sha256(bytes));
    CheckSignature(productFile, bytes);
  }
  const std::string productPath = (m_tree / productFile).string();
  const std::vector<std::string> keys = ProfileFile::KeyNames(productPath, product);
  if (keys.empty()) {
    Add(productFile, product, "", "the section is missing or empty");
    return;
  }
  int64_t listed = 0;
  for (const std::string& key : keys) {
    const std::string lower = Lower(key);
    if (lower.size() <= 5 || lower.substr(lower.size() - 5) != "count" || kActionCounts.count(lower)) continue;
    const std::string feature = key.substr(0, key.size() - 5);
    int64_t n = 0;
    const std::string text = ProfileFile::GetString(productPath, product, key, "");
    if (!Decimal(text, n) || n < 0 || n > kMaxEntries) {
      Add(productFile, product, key, "\"" + text + "\" is not a number of files from 0 to " + std::to_string(kMaxEntries));
      continue;
    }
    if (feature.find(';') != std::string::npos || feature.find('\\') != std::string::npos) {
      Add(productFile, product, key, "the feature name \"" + feature + "\" cannot be a registry subkey name");
    }
    for (int64_t i = 0; i < n; ++i) {
      const std::string fileKey = feature + std::to_string(i) + "FILE";
      const std::string rel = ProfileFile::GetString(productPath, product, fileKey, "");
      if (rel.empty()) {
        Add(productFile, product, fileKey, "missing, though " + key + " = " + std::to_string(n));
        continue;
      }
      ++listed;
      CheckCabinet(productFile, product, fileKey, rel);
    }
  }
  if (count >= 0 && listed != count) {
    Add(info, "COUNT", product,
        std::to_string(count) + ", but " + productFile + " lists " + std::to_string(listed) + " files");
  }
  CheckActions(productFile, product);
}

void TreeChecker::CheckCabinet(const std::string& productFile, const std::string& product, const std::string& key,
                               const std::string& listed) {
  std::string why;
  fs::path path;
  if (!ReleasePath::IsRelative(listed, why)) {
    Add(productFile, product, key, "\"" + listed + "\" " + why);
    return;
  }
  // The updater fetches only names its own normalisation accepts; any other
  // counts there as a failed file.
  std::string fetched;
  if (!TransferPath::Normalise(listed, fetched)) {
    Add(productFile, product, key, "\"" + listed + "\": the updater never fetches this name (control character, "
                                                     "absolute, or a \".\" or \"..\" part)");
    return;
  }
  if (listed.size() < 3 || Lower(listed.substr(listed.size() - 3)) != "cab") {
    Add(productFile, product, key, "\"" + listed + "\" does not end in \"cab\": the updater refuses to apply it");
  }
  if (!ReleasePath::Resolve(m_tree, listed, false, path, why)) {
    Add(productFile, product, key, "\"" + listed + "\": " + why);
    return;
  }
  ++m_cabinets;
  uint64_t size = 0;
  std::string sha256;
  const std::string prefix = key.substr(0, key.size() - 4);  // without "FILE"
  if (!TreeFile::Measure(path, size, sha256, why)) {
    Add(productFile, product, key, "\"" + listed + "\": " + why);
  } else {
    CheckMeasure(productFile, product, prefix + "SIZE", product, prefix + "SHA256", "\"" + listed + "\"", size, sha256);
  }
  Cabinet::CExtract extract;
  extract.CreateFDIContext();
  if (!extract.IsCabinet(path.string())) {
    Add(productFile, product, key, "\"" + listed + "\" is not a cabinet: " + extract.GetLastErrorText());
    return;
  }
  std::vector<Cabinet::CabinetEntry> entries;
  if (!extract.ListFiles(path.string(), entries)) {
    Add(productFile, product, key, "\"" + listed + "\" cannot be read: " + extract.GetLastErrorText());
    return;
  }
  for (const Cabinet::CabinetEntry& e : entries) {
    if (!e.safe) Add(productFile, product, key, "\"" + listed + "\" holds \"" + e.name + "\", which extraction refuses: " + e.refusal);
  }
  platform::AuthenticodeResult result;
  if (!platform::AuthenticodeVerifier::Verify(path.string(), m_anchors, result)) {
    Add(productFile, product, key, "\"" + listed + "\": signature refused (" +
                                       platform::AuthenticodeResult::StatusName(result.status) + "): " + result.reason);
    return;
  }
  if (m_cabinetSigners.empty()) m_cabinetSubject = result.subject;
  m_cabinetSigners.insert(result.signerCertificate);
  CheckSubject(productFile, product, key, "\"" + listed + "\"", result.subject);
}

void TreeChecker::CheckSubject(const std::string& file, const std::string& section, const std::string& key,
                               const std::string& shown, const std::string& subject) {
  // The client's own rule always applies; --publisher only narrows it.
  const bool maker = subject.find("O=\"QORVANE. INC") != std::string::npos &&
                     subject.find("CN=\"QORVANE. INC") != std::string::npos;
  if (!maker) {
    Add(file, section, key,
        shown + " is signed by \"" + subject +
            "\", which the updater refuses: it wants O=\"QORVANE. INC and CN=\"QORVANE. INC in the signer's name");
  }
  if (!m_publisher.empty() && subject.find(m_publisher) == std::string::npos) {
    Add(file, section, key, shown + " is signed by \"" + subject + "\", not by the publisher (" + m_publisher + ")");
  }
}

void TreeChecker::CheckSignature(const std::string& file, const std::string& bytes) {
  const std::string name = file + ".p7s";
  std::string signature, why;
  fs::path path;
  if (!fs::exists(fs::symlink_status(m_tree / name))) {
    Add(name, "", "", "missing: an updater that requires signed information refuses " + file);
    return;
  }
  if (!ReleasePath::Resolve(m_tree, name, false, path, why) ||
      !ReleasePath::ReadSmallFile(path, kMaxProfileBytes, signature, why)) {
    Add(name, "", "", why);
    return;
  }
  InfoVerifier::Result result;
  const bool verified = InfoVerifier::Verify(bytes, signature, m_anchors, result);
  if (!verified) Add(name, "", "", "signature over " + file + " refused: " + result.reason);
  if (result.subject.empty()) return;
  if (verified) m_infoSigners.push_back({file, result.signerCertificate, result.subject});
  CheckSubject(name, "", "", file, result.subject);
}

void TreeChecker::CheckMeasure(const std::string& file, const std::string& sizeSection, const std::string& sizeKey,
                               const std::string& hashSection, const std::string& hashKey, const std::string& shown,
                               uint64_t size, const std::string& sha256) {
  const std::string path = (m_tree / file).string();
  const std::string sizeText = ProfileFile::GetString(path, sizeSection, sizeKey, "");
  const std::string hashText = ProfileFile::GetString(path, hashSection, hashKey, "");
  uint64_t listed = 0;
  if (sizeText.empty()) {
    Add(file, sizeSection, sizeKey, "missing: an updater that checks signed information refuses " + shown);
  } else if (!Count(sizeText, listed)) {
    Add(file, sizeSection, sizeKey, "\"" + sizeText + "\" is not a number of bytes");
  } else if (listed != size) {
    Add(file, sizeSection, sizeKey, sizeText + ", but " + shown + " has " + std::to_string(size) + " bytes");
  }
  if (hashText.empty()) {
    Add(file, hashSection, hashKey, "missing: an updater that checks signed information refuses " + shown);
  } else if (!Sha256Text(hashText)) {
    Add(file, hashSection, hashKey, "\"" + hashText + "\" is not a SHA-256 (64 hex digits)");
  } else if (Lower(hashText) != sha256) {
    Add(file, hashSection, hashKey, hashText + ", but the SHA-256 of " + shown + " is " + sha256);
  }
}

void TreeChecker::CheckRelease() {
  const std::string info = "qupdate_s.ini";
  const std::string path = (m_tree / info).string();
  if (ProfileFile::KeyNames(path, "Release").empty()) {
    Add(info, "Release", "", "missing: an updater that checks signed information refuses the release");
    return;
  }
  auto text = [&](const char* key) {
    const std::string value = ProfileFile::GetString(path, "Release", key, "");
    if (value.empty()) Add(info, "Release", key, "missing");
    return value;
  };
  uint32_t serial = 0;
  int64_t date = 0, expires = 0;
  const std::string serialText = text("Serial"), dateText = text("Date"), expiresText = text("Expires");
  if (!serialText.empty() && !ReleaseStamp::ParseSerial(serialText, serial)) {
    Add(info, "Release", "Serial", "\"" + serialText + "\" is not a number from 1 to 4294967295");
  }
  const bool dated = !dateText.empty() && ReleaseStamp::ParseTime(dateText, date);
  const bool expiring = !expiresText.empty() && ReleaseStamp::ParseTime(expiresText, expires);
  for (const auto& [key, value, ok] : {std::tuple{"Date", dateText, dated}, std::tuple{"Expires", expiresText, expiring}}) {
    if (!value.empty() && !ok) Add(info, "Release", key, "\"" + value + "\" is not a UTC time as YYYY-MM-DDTHH:MM:SSZ");
  }
  if (!expiring) return;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (dated && expires <= date) {
    Add(info, "Release", "Expires", expiresText + " is not after the release's Date " + dateText);
  } else if (expires <= now) {
    Add(info, "Release", "Expires",
        expiresText + " has passed (now " + ReleaseStamp::FormatTime(now) +
            "): the updater refuses the release as stale; build and publish a new one");
  } else if (expires - now < int64_t{m_expiryWarningDays} * 24 * 3600) {
    m_findings.push_back({info, "Release", "Expires",
                          expiresText + " is less than " + std::to_string(m_expiryWarningDays) +
                              " days away: publish a new release before then, or the updater refuses this one",
                          true});
  }
}

void TreeChecker::CheckActions(const std::string& productFile, const std::string& product) {
  const std::string path = (m_tree / productFile).string();
  auto number = [&](const std::string& key, int64_t def, int64_t& value) {
    const std::string text = ProfileFile::GetString(path, product, key, "");
    if (text.empty()) {
      value = def;
      return true;
    }
    if (!Decimal(text, value)) {
      Add(productFile, product, key, "\"" + text + "\" is not a decimal number");
      return false;
    }
    return true;
  };
  auto count = [&](const std::string& key, int64_t& n) {
    if (!number(key, 0, n)) return false;
    if (n < 0 || n > kMaxEntries) {
      Add(productFile, product, key, std::to_string(n) + " is not from 0 to " + std::to_string(kMaxEntries));
      return false;
    }
    return true;
  };
  auto relative = [&](const std::string& key) {
    const std::string text = ProfileFile::GetString(path, product, key, "");
    std::string why;
    if (!text.empty() && !ReleasePath::IsRelative(text, why)) Add(productFile, product, key, "\"" + text + "\" " + why);
  };
  int64_t n = 0, v = 0;
  if (count("REGISTRYCOUNT", n)) {
    for (int64_t i = 0; i < n; ++i) {
      const std::string k = "REGISTRY" + std::to_string(i);
      if (number(k + "ROOT", 0, v) && (v < 0 || v > 4)) Add(productFile, product, k + "ROOT", std::to_string(v) + " is not a root from 0 to 4");
      if (number(k + "TYPE", 0, v) && v != 1 && v != 3 && v != 4) {
        Add(productFile, product, k + "TYPE", std::to_string(v) + " is not 1, 3 or 4: the updater stops the registry list here");
      } else if (v == 4 || v == 3) {
        number(k + "VALUE", 0, v);
      }
      if (ProfileFile::GetString(path, product, k + "KEY", "").empty()) Add(productFile, product, k + "KEY", "missing");
    }
  }
  if (count("REMREGISTRYCOUNT", n)) {
    for (int64_t i = 0; i < n; ++i) {
      const std::string k = "REMREGISTRY" + std::to_string(i);
      if (number(k + "ROOT", 0, v) && (v < 0 || v > 4)) Add(productFile, product, k + "ROOT", std::to_string(v) + " is not a root from 0 to 4");
    }
  }
  for (const char* list : {"SHORTCUT", "DELSHORTCUT"}) {
    if (!count(std::string(list) + "COUNT", n)) continue;
    for (int64_t i = 0; i < n; ++i) {
      const std::string k = list + std::to_string(i);
      if (number(k + "DIR", 0, v) && (v < 0 || v > 2)) {
        Add(productFile, product, k + "DIR", std::to_string(v) + " is not a folder code from 0 to 2: the updater stops the list here");
      }
      if (ProfileFile::GetString(path, product, k + "NAME", "").empty()) Add(productFile, product, k + "NAME", "missing");
      if (std::string(list) == "SHORTCUT") relative(k + "FILEPATH");
    }
  }
  if (count("EXECCOUNT", n)) {
    for (int64_t i = 0; i <= n; ++i) relative("EXEC" + std::to_string(i) + "FILEPATH");
  }
}

}  // namespace qrv::tools
