#include "cabinet/CabinetSet.h"

#include <dirent.h>
#include <mspack.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "cabinet/CabinetIo.h"
#include "cabinet/ExtractError.h"

namespace Cabinet {
namespace {

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

bool SameName(const char* a, const std::string& b) { return a != nullptr && strcasecmp(a, b.c_str()) == 0; }

const char* LibraryErrorText(int mspackError) {
  switch (mspackError) {
    case MSPACK_ERR_ARGS: return "bad arguments";
    case MSPACK_ERR_OPEN: return "cannot open a file";
    case MSPACK_ERR_READ: return "unexpected end of the data";
    case MSPACK_ERR_WRITE: return "cannot write the output";
    case MSPACK_ERR_SEEK: return "seek failed";
    case MSPACK_ERR_NOMEMORY: return "out of memory";
    case MSPACK_ERR_SIGNATURE: return "no cabinet signature";
    case MSPACK_ERR_DATAFORMAT: return "bad data format";
    case MSPACK_ERR_CHECKSUM: return "checksum error in a data block";
    case MSPACK_ERR_CRUNCH: return "compression error";
    case MSPACK_ERR_DECRUNCH: return "the data cannot be decompressed";
    default: return "unknown libmspack error";
  }
}

}  // namespace

CabinetSet::CabinetSet(mscab_decompressor* decompressor, CabinetIo& io) : m_decompressor(decompressor), m_io(io) {}

CabinetSet::~CabinetSet() {
  if (m_first != nullptr) m_decompressor->close(m_decompressor, m_first);
}

int CabinetSet::MapError(int mspackError, const CabinetIo& io, const std::string& path, std::string& detail) {
  if (io.ErrorCode() != 0) {
    detail = io.ErrorDetail();
    return io.ErrorCode();
  }
  int code = ExtractError::kCorruptCabinet;
  switch (mspackError) {
    case MSPACK_ERR_OK: return ExtractError::kSuccess;
    case MSPACK_ERR_ARGS: code = ExtractError::kInvalidParameters; break;
    case MSPACK_ERR_OPEN: code = ExtractError::kCabinetNotFound; break;
    case MSPACK_ERR_WRITE: code = ExtractError::kTargetFile; break;
    case MSPACK_ERR_NOMEMORY: code = ExtractError::kOutOfMemory; break;
    case MSPACK_ERR_SIGNATURE: code = ExtractError::kNotACabinet; break;
    case MSPACK_ERR_CRUNCH:
    case MSPACK_ERR_DECRUNCH: code = ExtractError::kDecompressFailure; break;
    default: break;  // read, seek, data format and checksum errors: the cabinet is damaged
  }
  detail = path + ": " + LibraryErrorText(mspackError);
  if (!io.LibraryMessage().empty()) detail += " (" + io.LibraryMessage() + ")";
  return code;
}

mscabd_cabinet* CabinetSet::OpenOne(const std::string& path, int& code, std::string& detail) {
  m_paths.push_back(path);
  mscabd_cabinet* cab = m_decompressor->open(m_decompressor, m_paths.back().c_str());
  if (cab == nullptr) {
    code = MapError(m_decompressor->last_error(m_decompressor), m_io, path, detail);
    if (code == ExtractError::kSuccess) code = ExtractError::kCorruptCabinet;
    m_paths.pop_back();
    return nullptr;
  }
  // libmspack only warns about other versions; every cabinet maker writes 1.x.
  if (m_io.HeaderMajor() != 1) {
    code = ExtractError::kUnknownVersion;
    detail = path + " has format version " + std::to_string(m_io.HeaderMajor()) + "." +
             std::to_string(m_io.HeaderMinor()) + ", only 1.x is known";
    m_decompressor->close(m_decompressor, cab);
    m_paths.pop_back();
    return nullptr;
  }
  code = ExtractError::kSuccess;
  return cab;
}

std::string CabinetSet::FindInFolder(const std::string& folder, const std::string& name) {
  std::string exact = folder + (folder == "/" ? "" : "/") + name;
  struct stat st{};
  if (stat(exact.c_str(), &st) == 0) return exact;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return {};
  std::vector<std::string> matches;
  while (dirent* entry = readdir(dir)) {
    if (strcasecmp(entry->d_name, name.c_str()) == 0) matches.emplace_back(entry->d_name);
  }
  closedir(dir);
  if (matches.empty()) return {};
  // Several spellings of one name: take the first in byte order, so the
  // choice does not depend on the order of the folder's entries.
  std::sort(matches.begin(), matches.end());
  return folder + (folder == "/" ? "" : "/") + matches.front();
}

int CabinetSet::Open(const std::string& path, bool follow, std::string& detail) {
  m_io.MakeCurrent();
  int code = 0;
  m_first = OpenOne(path, code, detail);
  if (m_first == nullptr) return code;
  mscabd_cabinet* current = m_first;
  std::string currentPath = path;
  while (true) {
    m_nextName = (current->flags & MSCAB_HDR_NEXTCAB) != 0 && current->nextname != nullptr ? current->nextname : "";
    if (!follow || m_nextName.empty()) return ExtractError::kSuccess;

    /* find the successor beside the current cabinet */
    if (m_nextName.find_first_of("/\\") != std::string::npos || m_nextName == "." || m_nextName == "..") {
      detail = currentPath + " names its successor \"" + m_nextName + "\", which is not a plain file name";
      return ExtractError::kWrongCabinet;
    }
    std::string folder = FolderOf(currentPath);
    std::string nextPath = FindInFolder(folder, m_nextName);
    if (nextPath.empty()) {
      detail = currentPath + " continues in " + m_nextName + ", which is not in " + folder;
      return ExtractError::kCabinetNotFound;
    }
    mscabd_cabinet* next = OpenOne(nextPath, code, detail);
    if (next == nullptr) return code;

    /* the successor must say it continues this cabinet */
    std::string mismatch;
    if (next->set_id != current->set_id) {
      mismatch = "set id " + Hex(next->set_id) + " instead of " + Hex(current->set_id);
    } else if (next->set_index != current->set_index + 1) {
      mismatch = "index " + std::to_string(next->set_index) + " instead of " + std::to_string(current->set_index + 1);
    } else if ((next->flags & MSCAB_HDR_PREVCAB) == 0) {
      mismatch = "no previous cabinet";
    } else if (!SameName(next->prevname, NameOf(currentPath))) {
      mismatch = std::string("\"") + next->prevname + "\" as its previous cabinet";
    }
    if (!mismatch.empty()) {
      detail = nextPath + " does not continue " + currentPath + ": it has " + mismatch;
      m_decompressor->close(m_decompressor, next);
      m_paths.pop_back();
      return ExtractError::kWrongCabinet;
    }
    int error = m_decompressor->append(m_decompressor, current, next);
    if (error != MSPACK_ERR_OK) {
      detail = nextPath + " cannot be joined to " + currentPath + ": " + LibraryErrorText(error);
      m_decompressor->close(m_decompressor, next);
      m_paths.pop_back();
      return ExtractError::kWrongCabinet;
    }
    current = next;
    currentPath = nextPath;
  }
}

}  // namespace Cabinet
