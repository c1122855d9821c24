#include "tools/qrvpublish/ReleaseBuilder.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "cabinet/CExtract.h"
#include "platform/profile/ProfileFile.h"
#include "tools/qrvpublish/CabinetWriter.h"
#include "tools/qrvpublish/ReleasePath.h"
#include "tools/qrvpublish/ReleaseStamp.h"
#include "tools/qrvpublish/TreeFile.h"

namespace qrv::tools {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxNameBytes = 255;  // a cabinet's file name field
constexpr uint32_t kMaxListed = 10000;

struct SourceFile {
  fs::path path;
  std::string name;  // '\' between folders
  uint64_t size = 0;
};

struct Job {
  std::vector<CabinetWriter::Entry> entries;
  fs::path final;
};

struct FeaturePlan {
  std::string name;
  std::vector<std::string> listed;  // relative paths as the product file lists them
  size_t previous = 0;               // the first `previous` of `listed` come from the previous tree
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

// Every regular file below the feature's folder, in name order. Links and
// special files are refused: packing one would ship whatever it points at.
bool Collect(const ReleaseDescription& release, const std::string& product, const ReleaseDescription::Feature& feature,
             std::vector<SourceFile>& files, std::string& error) {
  const std::string where = release.file.string() + ": product \"" + product + "\" feature \"" + feature.name + "\" source: ";
  std::error_code ec;
  fs::recursive_directory_iterator it(feature.source, fs::directory_options::none, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path path = it->path();
    const fs::file_status st = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_symlink(st)) {
      error = where + "\"" + path.string() + "\" is a symbolic link; copy the file it points to instead";
      return false;
    }
    if (fs::is_directory(st)) continue;
    if (!fs::is_regular_file(st)) {
      error = where + "\"" + path.string() + "\" is not a regular file";
      return false;
    }
    SourceFile file;
    file.path = path;
    for (const fs::path& part : path.lexically_relative(feature.source)) {
      const std::string text = part.string();
      for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
          error = where + "\"" + path.string() + "\": a name with a control character or '\\' cannot be unpacked";
          return false;
        }
      }
      file.name += (file.name.empty() ? "" : "\\") + text;
    }
    if (!ValidUtf8(file.name)) {
      error = where + "\"" + path.string() + "\": the name is not UTF-8";
      return false;
    }
    if (file.name.size() > kMaxNameBytes) {
      error = where + "\"" + path.string() + "\": " + std::to_string(file.name.size()) +
              " bytes of name below the folder, a cabinet holds " + std::to_string(kMaxNameBytes);
      return false;
    }
    file.size = it->file_size(ec);
    if (ec) break;
    if (file.size > ReleaseBuilder::kMaxFileBytes) {
      error = where + "\"" + path.string() + "\" has " + std::to_string(file.size) + " bytes, a cabinet holds at most " +
              std::to_string(ReleaseBuilder::kMaxFileBytes);
      return false;
    }
    files.push_back(std::move(file));
  }
  if (ec) {
    error = where + "cannot read \"" + feature.source.string() + "\": " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end(), [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
  return true;
}

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(b, ec)) || fs::file_size(a, ec) != fs::file_size(b, ec)) return false;
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  std::vector<char> ba(1 << 16), bb(1 << 16);
  while (fa && fb) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin())) return false;
  }
  return true;
}

// A value as the profile reader gives it back: outer blanks and one pair of
// matching quotes would be removed, so such a value goes in quotes.
std::string IniValue(const std::string& value) {
  const bool blanks = !value.empty() && (value.front() == ' ' || value.back() == ' ' || value.front() == '\t' ||
                                         value.back() == '\t');
  const bool quoted = value.size() > 1 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
  return (blanks || quoted) ? "\"" + value + "\"" : value;
}

class IniText {
 public:
  void Section(const std::string& name) { m_text += (m_text.empty() ? "[" : "\r\n[") + name + "]\r\n"; }
  void Key(const std::string& key, const std::string& value) { m_text += key + "=" + IniValue(value) + "\r\n"; }
  void Key(const std::string& key, int64_t value) { m_text += key + "=" + std::to_string(value) + "\r\n"; }
  // Keys written without a section of their own, to follow the last one.
  void Append(const IniText& keys) { m_text += keys.m_text; }
  bool Write(const fs::path& path, std::string& error) const { return TreeFile::Write(path, m_text, error); }

 private:
  std::string m_text;
};

// The previous tree's file list of one feature, checked like any input.
bool PreviousList(const fs::path& previous, const std::string& product, const std::string& feature,
                  std::vector<std::string>& listed, std::string& error) {
  const std::string productFile = (previous / (product + ".ini")).string();
  const int32_t count = static_cast<int32_t>(platform::ProfileFile::GetInt(productFile, product, feature + "COUNT", 0));
  if (count < 0 || static_cast<uint32_t>(count) > kMaxListed) {
    error = productFile + ": [" + product + "] " + feature + "COUNT = " + std::to_string(count) + " is not from 0 to " +
            std::to_string(kMaxListed);
    return false;
  }
  for (int32_t i = 0; i < count; ++i) {
    const std::string key = feature + std::to_string(i) + "FILE";
    const std::string rel = platform::ProfileFile::GetString(productFile, product, key, "");
    std::string why;
    fs::path resolved;
    if (!ReleasePath::Resolve(previous, rel, false, resolved, why)) {
      error = productFile + ": [" + product + "] " + key + " = \"" + rel + "\": " + why;
      return false;
    }
    // Only cabinets are carried over: any other name could be one this build
    // writes itself (KEY.ini, KEY.txt, qupdate_s.ini) and would be replaced.
    const std::string lower = Lower(rel);
    if (lower.size() < 5 || lower.compare(lower.size() - 4, 4, ".cab") != 0) {
      error = productFile + ": [" + product + "] " + key + " = \"" + rel + "\": not a .cab file";
      return false;
    }
    listed.push_back(rel);
  }
  return true;
}

fs::path Local(const fs::path& base, const std::string& listed) {
  std::string rel = listed;
  std::replace(rel.begin(), rel.end(), '\\', '/');
  return base / rel;
}

// A temporary folder removed when it goes out of scope.
class WorkFolder {
 public:
  WorkFolder() {
    std::string pattern = (fs::temp_directory_path() / "qrvpublish-XXXXXX").string();
    if (mkdtemp(pattern.data())) m_path = pattern;
  }
  ~WorkFolder() {
    std::error_code ec;
    if (!m_path.empty()) fs::remove_all(m_path, ec);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  const fs::path& Path() const { return m_path; }

 private:
  fs::path m_path;
};

bool Inside(const fs::path& inner, const fs::path& outer) {
  const fs::path rel = inner.lexically_relative(outer);
  return !rel.empty() && *rel.begin() != "..";
}

}  // namespace

bool ReleaseBuilder::Build(std::vector<std::string>& report, std::string& error) {
  const fs::path out = fs::weakly_canonical(fs::absolute(m_options.out));
  const fs::path previous = m_options.previous.empty() ? fs::path() : fs::weakly_canonical(fs::absolute(m_options.previous));
  std::error_code ec;

  /* the output folder: new or empty, and apart from every input */
  const fs::file_status outStatus = fs::symlink_status(m_options.out, ec);
  bool made = false;
  if (fs::exists(outStatus)) {
    if (!fs::is_directory(outStatus) || fs::is_symlink(outStatus)) {
      error = "the output \"" + m_options.out.string() + "\" is not a folder";
      return false;
    }
    if (!fs::is_empty(out, ec)) {
      error = "the output folder \"" + out.string() + "\" is not empty; give a new or empty folder";
      return false;
    }
  }
  for (const auto& p : m_release.products) {
    for (const auto& f : p.features) {
      const fs::path source = fs::weakly_canonical(f.source);
      if (out == source || Inside(out, source) || Inside(source, out)) {
        error = "the output folder \"" + out.string() + "\" overlaps the source of product \"" + p.key + "\" feature \"" +
                f.name + "\" (" + source.string() + ")";
        return false;
      }
    }
  }
  if (!previous.empty()) {
    if (!fs::is_regular_file(previous / "qupdate_s.ini")) {
      error = "the previous tree \"" + previous.string() + "\" has no qupdate_s.ini";
      return false;
    }
    if (out == previous || Inside(out, previous) || Inside(previous, out)) {
      error = "the output folder \"" + out.string() + "\" overlaps the previous tree \"" + previous.string() + "\"";
      return false;
    }
  }
  /* the serial, settled before anything is made */
  uint32_t previousSerial = 0;
  if (!previous.empty()) {
    ReleaseStamp stamp;
    bool present = false;
    std::string why;
    if (ReleaseStamp::Read((previous / "qupdate_s.ini").string(), stamp, present, why)) {
      previousSerial = stamp.serial;
    } else if (present) {
      error = "the previous tree's " + (previous / "qupdate_s.ini").string() + ": " + why;
      return false;
    }
  }
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  uint64_t serial = m_options.serial;
  if (serial == 0) serial = previousSerial != 0 ? uint64_t{previousSerial} + 1 : static_cast<uint64_t>(now);
  if (serial > UINT32_MAX) {
    error = "the serial would be " + std::to_string(serial) + ", above 4294967295; give one with --serial";
    return false;
  }
  if (serial <= previousSerial && !m_options.force) {
    error = "the serial " + std::to_string(serial) + " is not greater than the serial " + std::to_string(previousSerial) +
            " of the previous tree " + previous.string() +
            ": clients that took that release would refuse this one; give a greater --serial, or --force";
    return false;
  }
  WorkFolder work;
  if (work.Path().empty()) {
    error = "cannot make a work folder in " + fs::temp_directory_path().string();
    return false;
  }
  if (!fs::exists(outStatus)) {
    if (!fs::create_directories(out, ec)) {
      error = "cannot make the output folder \"" + out.string() + "\": " + ec.message();
      return false;
    }
    made = true;
  }
  // On failure nothing half-made stays behind for a web server to publish.
  struct Cleanup {
    const fs::path& out;
    bool made;
    bool done = false;
    ~Cleanup() {
      if (done) return;
      std::error_code e;
      if (made) {
        fs::remove_all(out, e);
      } else {
        for (const auto& entry : fs::directory_iterator(out, e)) fs::remove_all(entry.path(), e);
      }
    }
  } cleanup{out, made};

  IniText info;
  std::map<std::string, std::string> versions, levels, counts, depends, notes, noteSizes, noteHashes;
  std::vector<Job> jobs;
  // Per product its features' file lists and its action keys: the product
  // file is written once the cabinets it measures are signed.
  std::vector<std::pair<std::vector<FeaturePlan>, IniText>> productFiles;
  std::vector<std::string> productOrder;
  int workIndex = 0;

  for (const auto& p : m_release.products) {
    const std::string infoFile = (previous / "qupdate_s.ini").string();
    const int32_t oldLevel =
        previous.empty() ? -1 : static_cast<int32_t>(platform::ProfileFile::GetInt(infoFile, "UpdateVersionInfo", p.key, -1));
    const bool incremental = oldLevel > 0;
    if (incremental && p.level < oldLevel) {
      error = m_release.file.string() + ": product \"" + p.key + "\" key \"level\": " + std::to_string(p.level) +
              " is below the previous tree's level " + std::to_string(oldLevel);
      return false;
    }
    std::vector<FeaturePlan> plans;
    size_t newFiles = 0, newCabinets = 0, kept = 0;
    for (const auto& f : p.features) {
      std::vector<SourceFile> files;
      if (!Collect(m_release, p.key, f, files, error)) return false;
      FeaturePlan plan;
      plan.name = f.name;
      std::string suffix;
      if (incremental) {
        /* what a client at the previous level holds: the previous cabinets unpacked in order */
        if (!PreviousList(previous, p.key, f.name, plan.listed, error)) return false;
        plan.previous = plan.listed.size();
        const fs::path state = work.Path() / std::to_string(workIndex++);
        fs::create_directories(state, ec);
        Cabinet::CExtract extract;
        extract.CreateFDIContext();
        for (const std::string& rel : plan.listed) {
          if (!extract.ExtractFile(Local(previous, rel).string(), state.string())) {
            error = "cannot unpack the previous cabinet " + Local(previous, rel).string() + ": " + extract.GetLastErrorText();
            return false;
          }
        }
        std::vector<SourceFile> changed;
        for (SourceFile& file : files) {
          std::string rel = file.name;
          std::replace(rel.begin(), rel.end(), '\\', '/');
          if (!SameBytes(file.path, state / rel)) changed.push_back(std::move(file));
        }
        files = std::move(changed);
        if (!files.empty() && p.level == oldLevel) {
          error = m_release.file.string() + ": product \"" + p.key + "\" key \"level\": files changed (" + f.name + ": " +
                  files.front().name + ") but the level stays " + std::to_string(oldLevel) +
                  "; raise it so clients take the update";
          return false;
        }
        suffix = "-" + std::to_string(p.level);
        kept += plan.listed.size();
      } else if (files.empty()) {
        error = m_release.file.string() + ": product \"" + p.key + "\" feature \"" + f.name + "\" source: \"" +
                f.source.string() + "\" holds no file";
        return false;
      }
      /* split into cabinets of at most cabinetSize bytes (before packing) */
      std::vector<std::vector<SourceFile>> groups;
      uint64_t size = 0;
      for (SourceFile& file : files) {
        if (groups.empty() || (size + file.size > m_options.cabinetSize && size > 0)) {
          groups.emplace_back();
          size = 0;
        }
        size += file.size;
        groups.back().push_back(std::move(file));
      }
      for (size_t g = 0; g < groups.size(); ++g) {
        const std::string name = f.cabinet + suffix + (g == 0 ? "" : "_" + std::to_string(g + 1)) + ".cab";
        const std::string listed = p.key + "\\" + name;
        if (std::find_if(plan.listed.begin(), plan.listed.end(),
                         [&](const std::string& l) { return Lower(l) == Lower(listed); }) != plan.listed.end()) {
          error = "product \"" + p.key + "\": the previous tree lists " + listed + " already; raise the level";
          return false;
        }
        Job job;
        job.final = out / p.key / name;
        for (SourceFile& file : groups[g]) job.entries.push_back({file.path, file.name});
        newFiles += groups[g].size();
        plan.listed.push_back(listed);
        jobs.push_back(std::move(job));
        ++newCabinets;
      }
      plans.push_back(std::move(plan));
    }

    /* copy the previous cabinets that stay listed: copies, never links, so
       nothing this build writes can reach the tree clients fetch from now */
    if (incremental) {
      for (const FeaturePlan& plan : plans) {
        for (size_t i = 0; i < plan.previous; ++i) {
          const fs::path from = Local(previous, plan.listed[i]);
          const fs::path to = Local(out, plan.listed[i]);
          fs::create_directories(to.parent_path(), ec);
          if (!fs::copy_file(from, to, fs::copy_options::none, ec)) {
            error = "cannot copy " + from.string() + " to " + to.string() + ": " + ec.message();
            return false;
          }
        }
      }
    }

    /* the product file's actions */
    IniText product;
    size_t total = 0;
    for (const FeaturePlan& plan : plans) total += plan.listed.size();
    if (!p.registry.empty()) product.Key("REGISTRYCOUNT", static_cast<int64_t>(p.registry.size()));
    for (size_t i = 0; i < p.registry.size(); ++i) {
      const std::string n = "REGISTRY" + std::to_string(i);
      product.Key(n + "ROOT", p.registry[i].root);
      product.Key(n + "KEY", p.registry[i].key);
      product.Key(n + "NAME", p.registry[i].name);
      product.Key(n + "VALUE", p.registry[i].value);
      product.Key(n + "TYPE", p.registry[i].type);
    }
    if (!p.removeRegistry.empty()) product.Key("REMREGISTRYCOUNT", static_cast<int64_t>(p.removeRegistry.size()));
    for (size_t i = 0; i < p.removeRegistry.size(); ++i) {
      const std::string n = "REMREGISTRY" + std::to_string(i);
      product.Key(n + "ROOT", p.removeRegistry[i].root);
      product.Key(n + "KEY", p.removeRegistry[i].key);
      product.Key(n + "NAME", p.removeRegistry[i].name);
    }
    if (!p.shortcuts.empty()) product.Key("SHORTCUTCOUNT", static_cast<int64_t>(p.shortcuts.size()));
    for (size_t i = 0; i < p.shortcuts.size(); ++i) {
      const std::string n = "SHORTCUT" + std::to_string(i);
      product.Key(n + "DIR", p.shortcuts[i].folder);
      product.Key(n + "FILEPATH", p.shortcuts[i].target);
      product.Key(n + "NAME", p.shortcuts[i].name);
      product.Key(n + "DESC", p.shortcuts[i].description);
    }
    if (!p.removeShortcuts.empty()) product.Key("DELSHORTCUTCOUNT", static_cast<int64_t>(p.removeShortcuts.size()));
    for (size_t i = 0; i < p.removeShortcuts.size(); ++i) {
      const std::string n = "DELSHORTCUT" + std::to_string(i);
      product.Key(n + "DIR", p.removeShortcuts[i].folder);
      product.Key(n + "NAME", p.removeShortcuts[i].name);
    }
    // The client reads entries 0 up to and including EXECCOUNT.
    if (!p.run.empty()) product.Key("EXECCOUNT", static_cast<int64_t>(p.run.size() - 1));
    for (size_t i = 0; i < p.run.size(); ++i) product.Key("EXEC" + std::to_string(i) + "FILEPATH", p.run[i]);
    productFiles.emplace_back(std::move(plans), std::move(product));
    if (p.hasNotes) {
      if (!TreeFile::Write(out / (p.key + ".txt"), p.notes, error)) return false;
      notes[p.key] = p.key + ".txt";
      // The notes are shown as the maker's words: bound to the signed
      // information like every other file.
      noteSizes[p.key] = std::to_string(p.notes.size());
      noteHashes[p.key] = TreeFile::Sha256(p.notes);
    }
    productOrder.push_back(p.key);
    versions[p.key] = p.version;
    levels[p.key] = std::to_string(p.level);
    counts[p.key] = std::to_string(total);
    std::string joined;
    for (const std::string& d : p.depends) joined += (joined.empty() ? "" : "|") + d;
    if (!joined.empty()) depends[p.key] = joined;
    report.push_back(p.key + " level " + std::to_string(p.level) + ": " + std::to_string(newFiles) + " files in " +
                     std::to_string(newCabinets) + " new cabinets" +
                     (incremental ? ", " + std::to_string(kept) + " previous cabinets kept" : ""));
  }

  /* pack and sign: each cabinet is one job, as many at once as there are cores */
  for (const Job& job : jobs) fs::create_directories(job.final.parent_path(), ec);
  unsigned threads = m_options.threads ? m_options.threads : std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<size_t>(threads, jobs.size()));
  std::atomic<size_t> next{0};
  std::mutex failed;
  std::string firstError;
  auto worker = [&]() {
    for (size_t i = next++; i < jobs.size(); i = next++) {
      {
        std::lock_guard<std::mutex> lock(failed);
        if (!firstError.empty()) return;
      }
      const Job& job = jobs[i];
      const fs::path unsigned_ = job.final.parent_path() / ("." + job.final.filename().string() + ".unsigned");
      std::string why;
      bool ok = CabinetWriter::Write(job.entries, unsigned_, why) && m_signer.Sign(unsigned_, job.final, why);
      std::error_code e;
      fs::remove(unsigned_, e);
      if (!ok) {
        std::lock_guard<std::mutex> lock(failed);
        if (firstError.empty()) firstError = why;
      }
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
  if (!firstError.empty()) {
    error = firstError;
    return false;
  }

  /* the product files, each listing the size and SHA-256 of its cabinets,
     then signed */
  if (!m_infoSigner.Load(error)) return false;
  std::map<std::string, std::string> productSizes, productHashes;
  for (size_t n = 0; n < productOrder.size(); ++n) {
    const std::string& key = productOrder[n];
    IniText product;
    product.Section(key);
    for (const FeaturePlan& plan : productFiles[n].first) {
      if (plan.listed.empty()) continue;
      product.Key(plan.name + "COUNT", static_cast<int64_t>(plan.listed.size()));
      for (size_t i = 0; i < plan.listed.size(); ++i) {
        const std::string prefix = plan.name + std::to_string(i);
        uint64_t size = 0;
        std::string sha256;
        if (!TreeFile::Measure(Local(out, plan.listed[i]), size, sha256, error)) return false;
        product.Key(prefix + "FILE", plan.listed[i]);
        product.Key(prefix + "SIZE", static_cast<int64_t>(size));
        product.Key(prefix + "SHA256", sha256);
      }
    }
    product.Append(productFiles[n].second);
    const fs::path path = out / (key + ".ini");
    uint64_t size = 0;
    if (!product.Write(path, error) || !m_infoSigner.Sign(path, error) ||
        !TreeFile::Measure(path, size, productHashes[key], error)) {
      return false;
    }
    productSizes[key] = std::to_string(size);
  }

  /* the update information, written last: a tree without it is visibly unfinished */
  auto section = [&](const char* name, const std::map<std::string, std::string>& values) {
    bool any = false;
    for (const std::string& key : productOrder) any = any || values.count(key);
    if (!any) return;
    info.Section(name);
    for (const std::string& key : productOrder) {
      if (values.count(key)) info.Key(key, values.at(key));
    }
  };
  section("VersionInfo", versions);
  section("UpdateVersionInfo", levels);
  section("COUNT", counts);
  section("UpdateDependency", depends);
  section("UPDATEINFOPATH", notes);
  const int64_t expires = now + m_options.validSeconds;
  info.Section("Release");
  info.Key("Serial", static_cast<int64_t>(serial));
  info.Key("Date", ReleaseStamp::FormatTime(now));
  info.Key("Expires", ReleaseStamp::FormatTime(expires));
  section("ProductFileSize", productSizes);
  section("ProductFileSHA256", productHashes);
  section("UpdateInfoSize", noteSizes);
  section("UpdateInfoSHA256", noteHashes);
  if (!info.Write(out / "qupdate_s.ini", error) || !m_infoSigner.Sign(out / "qupdate_s.ini", error)) return false;
  report.push_back("release serial " + std::to_string(serial) + ", expires " + ReleaseStamp::FormatTime(expires));
  cleanup.done = true;
  return true;
}

}  // namespace qrv::tools
