#include "cabinet/CExtract.h"

#include <mspack.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "cabinet/CabinetIo.h"
#include "cabinet/CabinetSet.h"
#include "cabinet/ConfinedFolder.h"
#include "cabinet/EntryName.h"
#include "platform/core/AtomicFileWriter.h"
#include "platform/core/LastError.h"
#include "platform/core/ProcessUmask.h"

namespace Cabinet {
namespace {

constexpr int kAttribReadOnly = 0x01;
constexpr int kAttribExecute = 0x40;
constexpr int kAttribUtcTime = 0x100;
constexpr int kHighestMethod = 3;  // LZX; 0 none, 1 MSZIP, 2 Quantum


struct PlannedFile {
  mscabd_file* file;
  std::string name;
  int folder;  // position of the file's folder in the set's folder list
};

mode_t ModeFor(int attribs, int existingMode, mode_t mask) {
  mode_t mode = ((attribs & kAttribExecute) != 0 ? 0777 : 0666) & ~mask;
  if (existingMode >= 0) mode |= static_cast<mode_t>(existingMode) & 0111 & ~mask;
  if ((attribs & kAttribReadOnly) != 0) mode &= ~mode_t{0222};
  return mode;
}

bool TimeOf(const mscabd_file& file, timespec& out) {
  if (file.date_m < 1 || file.date_m > 12 || file.date_d < 1 || file.date_d > 31 || file.time_h > 23 ||
      file.time_m > 59 || file.time_s > 59) {
    return false;
  }
  tm parts{};
  parts.tm_year = file.date_y - 1900;
  parts.tm_mon = file.date_m - 1;
  parts.tm_mday = file.date_d;
  parts.tm_hour = file.time_h;
  parts.tm_min = file.time_m;
  parts.tm_sec = file.time_s;
  parts.tm_isdst = -1;
  time_t seconds = (file.attribs & kAttribUtcTime) != 0 ? timegm(&parts) : mktime(&parts);
  if (seconds == static_cast<time_t>(-1)) return false;
  out.tv_sec = seconds;
  out.tv_nsec = 0;
  return true;
}

}  // namespace

CExtract::CExtract() : m_io(std::make_unique<CabinetIo>()), m_names(std::make_unique<EntryName>()) {}

CExtract::~CExtract() {
  if (m_decompressor != nullptr) mspack_destroy_cab_decompressor(m_decompressor);
}

void CExtract::ClearError() {
  m_error = ExtractError::kSuccess;
  m_detail.clear();
  m_io->ClearError();
}

int CExtract::Fail(int code, std::string detail) {
  m_error = code;
  m_detail = std::move(detail);
  qrv::platform::LastError::Set(GetLastErrorText());
  return 0;
}

std::string CExtract::GetLastErrorText() const {
  std::string text = ExtractError::Text(m_error);
  if (!m_detail.empty()) text += ": " + m_detail;
  return text;
}

int CExtract::CreateFDIContext() {
  ClearError();
  if (m_decompressor != nullptr) return 0;
  int selftest = MSPACK_ERR_OK;
  MSPACK_SYS_SELFTEST(selftest);
  if (selftest != MSPACK_ERR_OK) {
    return Fail(ExtractError::kNoLibrary, "libmspack failed its self-test (error " + std::to_string(selftest) +
                                              "; a different off_t size?)");
  }
  m_decompressor = mspack_create_cab_decompressor(m_io->System());
  if (m_decompressor == nullptr) return Fail(ExtractError::kNoLibrary, "libmspack cannot make a cabinet decompressor");
  return 1;
}

int CExtract::IsCabinet(const std::string& path, CabinetInfo* info) {
  if (m_decompressor == nullptr) return 0;
  ClearError();
  CabinetSet set(m_decompressor, *m_io);
  std::string detail;
  int code = set.Open(path, false, detail);
  if (code != ExtractError::kSuccess) return Fail(code, detail);
  m_nextCabinet = set.NextName();
  if (info != nullptr) {
    const mscabd_cabinet* cab = set.First();
    *info = CabinetInfo{};
    info->cbCabinet = cab->length;
    for (const mscabd_folder* f = cab->folders; f != nullptr; f = f->next) ++info->cFolders;
    for (const mscabd_file* f = cab->files; f != nullptr; f = f->next) ++info->cFiles;
    info->setID = cab->set_id;
    info->iCabinet = cab->set_index;
    info->fReserve = (cab->flags & MSCAB_HDR_RESV) != 0;
    info->hasprev = (cab->flags & MSCAB_HDR_PREVCAB) != 0;
    info->hasnext = (cab->flags & MSCAB_HDR_NEXTCAB) != 0;
  }
  return 1;
}

int CExtract::ListFiles(const std::string& cabinet, std::vector<CabinetEntry>& entries) {
  entries.clear();
  if (m_decompressor == nullptr) return 0;
  ClearError();
  CabinetSet set(m_decompressor, *m_io);
  std::string detail;
  int code = set.Open(cabinet, true, detail);
  if (code != ExtractError::kSuccess) return Fail(code, detail);
  for (const mscabd_file* f = set.First()->files; f != nullptr; f = f->next) {
    CabinetEntry entry;
    entry.name = m_names->Decode(f->filename, f->attribs);
    entry.safe = EntryName::IsSafe(entry.name, entry.refusal);
    entry.size = f->length;
    entry.attribs = f->attribs;
    entry.year = f->date_y;
    entry.month = f->date_m;
    entry.day = f->date_d;
    entry.hour = f->time_h;
    entry.minute = f->time_m;
    entry.second = f->time_s;
    entries.push_back(std::move(entry));
  }
  return 1;
}

int CExtract::Begin(const std::string& cabinet, const std::string& targetFolder, void* param) {
  if (m_decompressor == nullptr) return 0;
  m_param = param;
  m_abort.store(false);
  ClearError();
  m_targetFolder = targetFolder;
  m_nextCabinet.clear();
  m_written.clear();
  size_t slash = cabinet.find_last_of('/');
  if (slash == std::string::npos || slash + 1 == cabinet.size()) {
    return Fail(ExtractError::kInvalidParameters,
                "the cabinet path \"" + cabinet + "\" needs a folder and a file name");
  }
  if (targetFolder.empty()) return Fail(ExtractError::kInvalidParameters, "the target folder is empty");
  return 1;
}

int CExtract::ExtractFile(const std::string& cabinet, const std::string& targetFolder, void* param) {
  if (Begin(cabinet, targetFolder, param) != 1) return 0;
  /* open the cabinet and its successors */
  CabinetSet set(m_decompressor, *m_io);
  std::string detail;
  int code = set.Open(cabinet, true, detail);
  if (code != ExtractError::kSuccess) return Fail(code, detail);
  return Unpack(set.First(), cabinet, targetFolder);
}

int CExtract::ExtractOpenFile(int fd, uint64_t length, const std::string& name, const std::string& targetFolder,
                              void* param) {
  if (Begin(name, targetFolder, param) != 1) return 0;
  struct stat st{};
  if (fd < 0 || fstat(fd, &st) != 0) {
    return Fail(ExtractError::kCabinetNotFound, "cannot read " + name + " from descriptor " + std::to_string(fd) +
                                                    ": " + std::strerror(fd < 0 ? EBADF : errno));
  }
  if (!S_ISREG(st.st_mode)) return Fail(ExtractError::kNotACabinet, name + " is not a regular file");

  /* every open of the cabinet, by libmspack too, reads the caller's descriptor */
  struct Unpin {
    CabinetIo& io;
    ~Unpin() { io.ClearInput(); }
  } unpin{*m_io};
  m_io->SetInput(name, fd, length);
  CabinetSet set(m_decompressor, *m_io);
  std::string detail;
  int code = set.Open(name, false, detail);
  if (code != ExtractError::kSuccess) return Fail(code, detail);
  if (!set.NextName().empty()) {
    return Fail(ExtractError::kWrongCabinet, name + " continues in " + set.NextName() +
                                                 ", which would have to be opened by name; only a whole cabinet, "
                                                 "checked on its open file, is unpacked");
  }
  return Unpack(set.First(), name, targetFolder);
}

int CExtract::Unpack(mscabd_cabinet* first, const std::string& cabinet, const std::string& targetFolder) {
  int code = ExtractError::kSuccess;
  std::string detail;
  /* check every name, method and size before anything is written */
  std::map<const mscabd_folder*, int> folderIndex;
  int folders = 0;
  for (const mscabd_folder* f = first->folders; f != nullptr; f = f->next) {
    int method = MSCABD_COMP_METHOD(f->comp_type);
    if (method > kHighestMethod) {
      return Fail(ExtractError::kUnknownCompression,
                  cabinet + " uses compression method " + std::to_string(method) + " in folder " +
                      std::to_string(folders));
    }
    folderIndex[f] = folders++;
  }
  std::vector<PlannedFile> plan;
  for (mscabd_file* f = first->files; f != nullptr; f = f->next) {
    std::string name = m_names->Decode(f->filename, f->attribs);
    std::string reason;
    if (!EntryName::IsSafe(name, reason)) return Fail(ExtractError::kCorruptCabinet, reason + " in " + cabinet);
    auto it = folderIndex.find(f->folder);
    if (it == folderIndex.end()) return Fail(ExtractError::kCorruptCabinet, "entry \"" + name + "\" has no folder");
    plan.push_back({f, std::move(name), it->second});
  }
  // Within a folder the data is one stream; taking files in stream order
  // unpacks each folder once (libmspack restarts a folder for a file that
  // lies behind the last one). Cabinet makers write files in that order
  // anyway, so this rarely changes anything.
  std::stable_sort(plan.begin(), plan.end(), [](const PlannedFile& a, const PlannedFile& b) {
    return a.folder != b.folder ? a.folder < b.folder : a.file->offset < b.file->offset;
  });
  uint64_t total = 0;
  uint64_t folderEnd = 0;
  for (size_t i = 0; i < plan.size(); ++i) {
    const PlannedFile& p = plan[i];
    if (i > 0 && plan[i - 1].folder != p.folder) {
      total += folderEnd;
      folderEnd = 0;
    }
    // Files of one folder never share bytes; overlapping entries would make
    // libmspack unpack the folder again for every one of them.
    if (p.file->length > 0 && p.file->offset < folderEnd) {
      return Fail(ExtractError::kCorruptCabinet,
                  "entries \"" + plan[i - 1].name + "\" and \"" + p.name + "\" overlap in " + cabinet);
    }
    if (p.file->length > 0) folderEnd = std::max<uint64_t>(folderEnd, uint64_t{p.file->offset} + p.file->length);
  }
  total += folderEnd;
  if (total > m_sizeLimit) {
    return Fail(ExtractError::kCorruptCabinet, cabinet + " unpacks to " + std::to_string(total) +
                                                   " bytes, more than the limit of " + std::to_string(m_sizeLimit));
  }

  /* extract below the target, never through a link, stopping at the first error */
  ConfinedFolder root;
  std::string error;
  if (!root.Open(targetFolder, true, error)) return Fail(ExtractError::kTargetFile, error);
  m_io->SetWriteBudget(m_sizeLimit);
  m_io->SetAbortFlag(&m_abort);
  const mode_t mask = qrv::platform::ProcessUmask::Get();
  const bool continuesEarlier = (first->flags & MSCAB_HDR_PREVCAB) != 0;
  // Files of one folder tend to follow each other; its folder needs
  // reaching (and making) only once.
  std::string lastFolder;
  int folderFd = -1;
  struct CloseFolder {
    int& fd;
    ~CloseFolder() {
      if (fd >= 0) close(fd);
    }
  } closeFolder{folderFd};
  for (const PlannedFile& p : plan) {
    if (m_abort.load()) return Fail(ExtractError::kUserAbort, "aborted before " + p.name);
    const size_t slash = p.name.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : p.name.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? p.name : p.name.substr(slash + 1);
    if (folderFd < 0 || folder != lastFolder) {
      if (folderFd >= 0) close(folderFd);
      ConfinedFolder::Refusal refusal = ConfinedFolder::Refusal::kNone;
      folderFd = root.OpenFolder(folder, true, error, &refusal);
      if (folderFd < 0) {
        if (refusal == ConfinedFolder::Refusal::kEscape) {
          return Fail(ExtractError::kOutsideTarget, "refusing to write " + root.Shown(p.name) + " from " + cabinet +
                                                        ": " + error);
        }
        return Fail(ExtractError::kTargetFile, error);
      }
      lastFolder = folder;
    }
    qrv::platform::AtomicFileWriter out;
    if (!out.Begin(folderFd, root.Shown(folder), leaf, error)) return Fail(ExtractError::kTargetFile, error);
    struct statvfs fs{};
    if (fstatvfs(out.Fd(), &fs) == 0 && uint64_t{fs.f_bavail} * fs.f_frsize < p.file->length) {
      return Fail(ExtractError::kTargetFile, out.FinalPath() + " needs " + std::to_string(p.file->length) +
                                                 " bytes, only " + std::to_string(uint64_t{fs.f_bavail} * fs.f_frsize) +
                                                 " are free");
    }
    struct stat existing {};
    const int existingMode = out.Existing(existing) ? static_cast<int>(existing.st_mode & 07777) : -1;

    m_io->MakeCurrent();
    m_io->SetOutput(out.TempPath(), out.Fd());
    int result = m_decompressor->extract(m_decompressor, p.file, out.TempPath().c_str());
    uint64_t written = m_io->OutputBytes();
    m_io->ClearOutput();
    if (result != MSPACK_ERR_OK) {
      code = CabinetSet::MapError(result, *m_io, p.name + " in " + cabinet, detail);
      // A file whose data starts in an earlier cabinet of the set cannot be
      // had from this one alone.
      if (continuesEarlier && p.folder == 0 && result == MSPACK_ERR_DECRUNCH && m_io->ErrorCode() == 0) {
        code = ExtractError::kCabinetNotFound;
        detail = p.name + " starts in the cabinet before " + cabinet + ", which was not given";
      }
      return Fail(code, detail);
    }
    if (written != p.file->length) {
      return Fail(ExtractError::kCorruptCabinet, p.name + " in " + cabinet + " unpacked to " + std::to_string(written) +
                                                     " bytes instead of " + std::to_string(p.file->length));
    }
    timespec stamp{};
    bool hasTime = TimeOf(*p.file, stamp);
    qrv::platform::AtomicFileWriter::Finish finish;
    finish.mode = ModeFor(p.file->attribs, existingMode, mask);
    finish.accessed = finish.modified = hasTime ? &stamp : nullptr;
    finish.sync = m_syncFiles;
    if (!out.Commit(finish, error)) {
      return Fail(ExtractError::kTargetFile, error);
    }
    m_written[folder].insert(leaf);
  }
  return 1;
}

}  // namespace Cabinet
