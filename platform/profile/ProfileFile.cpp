#include "platform/profile/ProfileFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>

#include "platform/core/LastError.h"
#include "platform/core/AtomicFileWriter.h"
#include "platform/profile/ProfileCache.h"
#include "platform/profile/ProfileDocument.h"
#include "platform/profile/ProfileLoader.h"
#include "platform/profile/ProfileText.h"

namespace qrv::platform {
namespace {

// Writes are read-modify-write; within the process they take turns so that two
// threads writing different keys of one file both get their key in.
std::mutex g_writeMutex;

std::string Quoted(std::string_view text) {
  // appended piece by piece: '"' + std::string trips GCC 12's -Wrestrict at -O3
  std::string out;
  out.reserve(text.size() + 2);
  out.append(1, '"').append(text).append(1, '"');
  return out;
}

// A refused name in a message: control characters (the NUL and line breaks it
// was refused for among them) shown as \xNN, so the text stays one readable line.
std::string QuotedName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (char c : name) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// A document kept alive together with a view into it.
struct Lookup {
  std::shared_ptr<const ProfileDocument> document;
  std::string_view value;
};

std::shared_ptr<const ProfileDocument> LoadForReading(const std::string& file) {
  ProfileLoader::Result loaded = ProfileLoader::Load(file);
  if (loaded.status != ProfileLoader::Status::kLoaded) LastError::Set(std::move(loaded.error));
  return std::move(loaded.document);
}

Lookup Resolve(const std::string& file, std::string_view section, std::string_view key, std::string_view def) {
  Lookup lookup;
  // an empty (or blank) section name is the part before the first header, an
  // empty key name the line "=value"
  lookup.document = LoadForReading(file);
  if (auto value = lookup.document->Find(ProfileText::CleanName(section), ProfileText::CleanName(key))) {
    lookup.value = *value;
    return lookup;
  }
  def = ProfileText::CutAtNul(def);
  while (!def.empty() && def.back() == ' ') def.remove_suffix(1);
  lookup.value = def;
  return lookup;
}

bool Fail(std::string text) {
  LastError::Set(std::move(text));
  return false;
}

std::string ContentProblem(std::string_view what, std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::string(what) + " contains a NUL byte";
  if (text.find_first_of("\r\n") != std::string_view::npos) return std::string(what) + " contains a line break";
  return {};
}

std::string SectionProblem(std::string_view section) {
  std::string what = "section name " + QuotedName(section);
  if (std::string problem = ContentProblem(what, section); !problem.empty()) return problem;
  if (section.find(']') != std::string_view::npos) return what + " contains ']'";
  return {};
}

std::string KeyProblem(std::string_view key) {
  std::string what = "key name " + QuotedName(key);
  if (std::string problem = ContentProblem(what, key); !problem.empty()) return problem;
  std::string_view trimmed = ProfileText::Trim(key);
  if (key.find('=') != std::string_view::npos) return what + " contains '='";
  if (!trimmed.empty() && trimmed.front() == '[') return what + " starts with '['";
  if (!trimmed.empty() && trimmed.front() == ';') return what + " starts with ';'";
  return {};
}

// Where the bytes go: the file itself, or the file a symbolic link points at
// (renaming over the link would replace the link by a plain file).
bool WriteTarget(const std::string& file, std::string& target, std::string& error) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
    target = file;
    return true;
  }
  char* resolved = ::realpath(file.c_str(), nullptr);
  if (resolved == nullptr) {
    error = "profile file " + Quoted(file) + " is a symbolic link that cannot be followed: " + std::strerror(errno);
    return false;
  }
  target = resolved;
  ::free(resolved);
  return true;
}

enum class Edit { kSet, kDeleteKey, kDeleteSection };

// The end of every write: the edited bytes replace the file (under the
// write lock, after a fresh load).
bool ReplaceFile(const std::string& file, const ProfileLoader::Result& loaded, bool exists, bool changed,
                 const std::string& bytes) {
  if (!changed && exists) return true;
  std::string error;
  if (bytes.size() > ProfileLoader::kMaxFileBytes) {
    // what could not be read back is not written
    return Fail("cannot write profile file " + Quoted(file) + ": it would grow to " + std::to_string(bytes.size()) +
                " bytes, more than the " + std::to_string(ProfileLoader::kMaxFileBytes) + " a profile file may have");
  }

  /* replace the file */
  std::string target;
  if (!WriteTarget(file, target, error)) return Fail(error);
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    return Fail("cannot write profile file " + Quoted(file) + ": " + std::strerror(errno));
  }
  if (!AtomicFileWriter::Replace(target, bytes, exists ? &loaded.info : nullptr, error)) return Fail(error);
  // The next reader parses the new file on demand; parsing it here as well
  // would double the cost of a run of writes.
  ProfileCache::Instance().Forget(file);
  return true;
}

bool WriteImpl(const std::string& file, Edit edit, std::string_view section, std::string_view key,
               std::string_view value) {
  LastError::Clear();
  std::string where = " (profile file " + Quoted(file) + ")";

  /* check the arguments */
  if (std::string problem = SectionProblem(section); !problem.empty()) return Fail(problem + where);
  if (edit != Edit::kDeleteSection) {
    if (std::string problem = KeyProblem(key); !problem.empty()) return Fail(problem + where);
  }
  if (edit == Edit::kSet) {
    if (std::string problem = ContentProblem("the value", value); !problem.empty()) return Fail(problem + where);
    value = ProfileText::TrimLeft(value);
  }
  section = ProfileText::Trim(section);
  key = ProfileText::Trim(key);

  std::lock_guard lock(g_writeMutex);

  /* current content, fresh from the file */
  ProfileLoader::Result loaded = ProfileLoader::LoadFresh(file);
  if (loaded.status == ProfileLoader::Status::kFailed) return Fail(std::move(loaded.error));
  const bool exists = loaded.status == ProfileLoader::Status::kLoaded;
  if (!exists && edit != Edit::kSet) return true;  // nothing to delete

  /* edit */
  std::string bytes;
  std::string error;
  bool changed = false;
  bool ok = false;
  switch (edit) {
    case Edit::kSet:
      ok = loaded.document->SetValue(section, key, value, bytes, changed, error);
      break;
    case Edit::kDeleteKey:
      ok = loaded.document->DeleteKey(section, key, bytes, changed, error);
      break;
    case Edit::kDeleteSection:
      ok = loaded.document->DeleteSection(section, bytes, changed, error);
      break;
  }
  if (!ok) return Fail("cannot write profile file " + Quoted(file) + ": " + error);
  return ReplaceFile(file, loaded, exists, changed, bytes);
}

bool WriteManyImpl(const std::string& file, const std::vector<ProfileFile::Assignment>& assignments) {
  LastError::Clear();
  std::string where = " (profile file " + Quoted(file) + ")";

  /* check the arguments; a refused one is left out, the others go in */
  std::string refused;
  std::vector<ProfileDocument::Assignment> edits;
  edits.reserve(assignments.size());
  for (const ProfileFile::Assignment& a : assignments) {
    std::string problem = SectionProblem(a.section);
    if (problem.empty()) problem = KeyProblem(a.key);
    if (problem.empty()) problem = ContentProblem("the value", a.value);
    if (!problem.empty()) {
      if (refused.empty()) refused = problem + where;
      continue;
    }
    edits.push_back({ProfileText::Trim(a.section), ProfileText::Trim(a.key), ProfileText::TrimLeft(a.value)});
  }

  bool written = true;
  if (!edits.empty()) {
    std::lock_guard lock(g_writeMutex);
    ProfileLoader::Result loaded = ProfileLoader::LoadFresh(file);
    if (loaded.status == ProfileLoader::Status::kFailed) return Fail(std::move(loaded.error));
    std::string bytes;
    std::string error;
    bool changed = false;
    if (!loaded.document->SetValues(edits, bytes, changed, error)) {
      return Fail("cannot write profile file " + Quoted(file) + ": " + error);
    }
    written = ReplaceFile(file, loaded, loaded.status == ProfileLoader::Status::kLoaded, changed, bytes);
  }
  if (!refused.empty()) {
    // the refusal is what the caller must hear of, unless the write failed too
    if (written) LastError::Set(std::move(refused));
    return false;
  }
  return written;
}

// No exception leaves the platform layer: a failed allocation (a huge value, a
// machine out of memory) becomes the call's failure result.
template <typename Result, typename Body>
Result Guarded(const std::string& file, Result onFailure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    LastError::Set("out of memory while handling profile file " + Quoted(file));
  } catch (const std::exception& e) {
    LastError::Set("cannot handle profile file " + Quoted(file) + ": " + e.what());
  } catch (...) {
    LastError::Set("cannot handle profile file " + Quoted(file));
  }
  return onFailure;
}

}  // namespace

uint32_t ProfileFile::GetString(const std::string& file, std::string_view section, std::string_view key,
                                std::string_view def, char* buffer, uint32_t size) {
  LastError::Clear();
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';  // what a failure leaves
  return Guarded(file, uint32_t{0}, [&]() -> uint32_t {
    Lookup lookup = Resolve(file, section, key, def);
    size_t count = ProfileText::CutLength(lookup.value, size - 1);
    if (count != 0) std::memcpy(buffer, lookup.value.data(), count);
    buffer[count] = '\0';
    return static_cast<uint32_t>(count);
  });
}

std::string ProfileFile::GetString(const std::string& file, std::string_view section, std::string_view key,
                                   std::string_view def, uint32_t bufferChars) {
  LastError::Clear();
  if (bufferChars == 0) return {};
  return Guarded(file, std::string(), [&]() -> std::string {
    Lookup lookup = Resolve(file, section, key, def);
    return std::string(lookup.value.substr(0, ProfileText::CutLength(lookup.value, bufferChars - 1)));
  });
}

uint32_t ProfileFile::GetInt(const std::string& file, std::string_view section, std::string_view key, int32_t def) {
  char buffer[30];
  uint32_t count = GetString(file, section, key, {}, buffer, sizeof(buffer));
  if (count == 0) return static_cast<uint32_t>(def);
  return ProfileText::ParseInteger(std::string_view(buffer, count));
}

std::vector<std::string> ProfileFile::SectionNames(const std::string& file) {
  LastError::Clear();
  return Guarded(file, std::vector<std::string>(), [&] { return LoadForReading(file)->SectionNames(); });
}

std::vector<std::string> ProfileFile::KeyNames(const std::string& file, std::string_view section) {
  LastError::Clear();
  section = ProfileText::CleanName(section);
  return Guarded(file, std::vector<std::string>(), [&] { return LoadForReading(file)->KeyNames(section); });
}

bool ProfileFile::WriteString(const std::string& file, std::string_view section, std::string_view key,
                              std::string_view value) {
  return Guarded(file, false, [&] { return WriteImpl(file, Edit::kSet, section, key, value); });
}

bool ProfileFile::WriteStrings(const std::string& file, const std::vector<Assignment>& assignments) {
  return Guarded(file, false, [&] { return WriteManyImpl(file, assignments); });
}

bool ProfileFile::DeleteKey(const std::string& file, std::string_view section, std::string_view key) {
  return Guarded(file, false, [&] { return WriteImpl(file, Edit::kDeleteKey, section, key, {}); });
}

bool ProfileFile::DeleteSection(const std::string& file, std::string_view section) {
  return Guarded(file, false, [&] { return WriteImpl(file, Edit::kDeleteSection, section, {}, {}); });
}

void ProfileFile::FlushCache() { ProfileCache::Instance().Clear(); }

}  // namespace qrv::platform
