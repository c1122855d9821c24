#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cabinet/CabinetEntry.h"
#include "cabinet/CabinetInfo.h"
#include "cabinet/ExtractError.h"

struct mscab_decompressor;
struct mscabd_cabinet;

namespace Cabinet {

class CabinetIo;
class EntryName;

// Unpacks cabinet archives ("MSCF") below a folder, on libmspack.
//
// Call order: CreateFDIContext() once, then any number of IsCabinet(),
// ExtractFile() and ListFiles(); every call clears the last error first and
// leaves its outcome in GetLastError() / GetLastErrorText() (codes and fixed
// texts in ExtractError). Paths are UTF-8; relative paths are taken from the
// current directory.
//
// ExtractFile() writes every file of the cabinet, and of the cabinets that
// continue it (a set), below the target folder:
// - Names are decoded as EntryName describes. Before anything is written,
//   every name is checked: one that is absolute, has an empty, "." or ".."
//   component or a control character fails the whole cabinet (error 4) and
//   nothing at all is written, so a bad entry late in a cabinet cannot leave
//   half an installation behind. Likewise a cabinet whose data would unpack
//   to more than SizeLimit() bytes (default 8 GiB) fails before writing.
// - Missing folders are created with mode 0755 whatever the umask. Each file
//   is written under a temporary name in its own folder and renamed over the
//   target only when complete, so a read-only target is replaced and no
//   partial file ever stands under a real name. A file that cannot be written
//   (a folder in its place, a folder that cannot be written, a full disk) is
//   error 8: the files before it stay, the temporary is removed, nothing
//   after it is written.
// - Nothing is written outside the target folder: the target is opened once
//   (its own path may be a link) and every folder below it is reached from
//   there without following a symbolic link (ConfinedFolder). A folder below
//   the target that is a link fails the file with error 1009, like error 8
//   for what was written before it.
// - The first error of any kind ends the whole extraction: after a checksum
//   error libmspack may report later files as good with wrong contents.
// - Times: the cabinet's date and time for both access and modification
//   time, read as local time unless the attribute bit 0x100 marks UTC; an
//   impossible date leaves the time of extraction.
// - Modes: 0666, or 0777 when the cabinet marks the file executable (0x40),
//   less the process's umask; the execute bits of a file being replaced are
//   kept (umask permitting), so an update cannot make a program unrunnable;
//   read-only (0x01)
//   clears every write bit. Hidden, system and archive have no counterpart
//   and are ignored.
// - A set: a cabinet naming a successor is continued with that file from
//   its own folder (found without regard to ASCII case) when the successor
//   agrees (set id, index, previous name); a missing successor is error 1, a
//   disagreeing one error 10.
// - "CRYP" cabinets fail with 1008, anything else that is not "MSCF" with 2.
//
// Thread: an extractor belongs to one thread, except Abort(), which may be
// called from any thread while an extraction runs. Separate extractors may
// work at the same time on different threads.
class CExtract {
 public:
  static constexpr uint64_t kDefaultSizeLimit = uint64_t{8} << 30;

  CExtract();
  ~CExtract();
  CExtract(const CExtract&) = delete;
  CExtract& operator=(const CExtract&) = delete;

  // 1 when libmspack is usable and a decompressor was made; 0 when one exists
  // already (error 0) or libmspack fails its self-test or cannot make a
  // decompressor (error 1000).
  int CreateFDIContext();

  // Non-zero when path is a cabinet whose header libmspack can read; info
  // (optional) receives the header's facts. Does not follow a set. 0 without
  // a context, and on any failure (last error set: 1 cannot open, 2 not a
  // cabinet, 1008 enciphered, 4 damaged header ...).
  int IsCabinet(const std::string& path, CabinetInfo* info = nullptr);

  // Extracts every file of cabinet (and its successors) below targetFolder
  // as described above. param is kept for the caller (Param()). 1 when every
  // file was written, else 0 with the last error set; 0 without a context.
  // A cabinet path without a folder or file name, or an empty target folder,
  // is error 1002.
  int ExtractFile(const std::string& cabinet, const std::string& targetFolder, void* param = nullptr);

  // The same for a cabinet the caller has open as fd (a regular file,
  // readable): it is read from there alone, with pread, from offset 0 up to
  // length bytes, so what is unpacked is what the caller checked on that
  // descriptor, whatever happens to the path meanwhile. name stands for the
  // cabinet in messages. A cabinet naming a successor is refused (error 10)
  // before anything is written: a successor could only be opened by name.
  // fd stays the caller's. 1 when every file was written, else 0.
  int ExtractOpenFile(int fd, uint64_t length, const std::string& name, const std::string& targetFolder,
                      void* param = nullptr);

  // What the last ExtractFile() / ExtractOpenFile() put in place: for each
  // folder (relative to the target, "" for the target itself) the names of
  // the files renamed into it. Also after a failure, for the files before it.
  const std::map<std::string, std::set<std::string>>& Written() const { return m_written; }

  // The files of cabinet (and its successors) in the cabinet's order, with
  // decoded names and whether extraction would accept them. 1 on success, 0
  // with the last error set.
  int ListFiles(const std::string& cabinet, std::vector<CabinetEntry>& entries);

  // Makes the running extraction end at its next read or write, or before
  // its next file, with error 11. ExtractFile() clears the flag when it starts.
  void Abort() { m_abort.store(true); }

  int GetLastError() const { return m_error; }
  // The fixed text of the code, followed by ": " and what exactly failed
  // (paths, names, values) when that is known.
  std::string GetLastErrorText() const;
  // Only the part after the fixed text; empty when none.
  const std::string& GetLastErrorDetail() const { return m_detail; }

  // Most bytes one ExtractFile() may unpack (counting data skipped inside a
  // folder); a cabinet that would unpack to more fails with error 4.
  void SetSizeLimit(uint64_t bytes) { m_sizeLimit = bytes; }
  uint64_t SizeLimit() const { return m_sizeLimit; }
  // Flush every file and its folder entry to disk before the next one
  // (fsync); off by default.
  void SetSyncFiles(bool sync) { m_syncFiles = sync; }

  void* Param() const { return m_param; }
  const std::string& TargetFolder() const { return m_targetFolder; }
  // The successor named by the last cabinet opened that was not followed
  // (IsCabinet() does not follow); empty when none.
  const std::string& NextCabinet() const { return m_nextCabinet; }

 private:
  void ClearError();
  int Fail(int code, std::string detail);
  // Checks the cabinet path and the target, resets the per-call state; 1 to go on.
  int Begin(const std::string& cabinet, const std::string& targetFolder, void* param);
  // Plans and writes the files of the opened set below targetFolder.
  int Unpack(mscabd_cabinet* first, const std::string& cabinet, const std::string& targetFolder);

  std::unique_ptr<CabinetIo> m_io;
  std::unique_ptr<EntryName> m_names;
  mscab_decompressor* m_decompressor = nullptr;
  int m_error = 0;
  std::string m_detail;
  std::atomic<bool> m_abort{false};
  void* m_param = nullptr;
  std::string m_targetFolder;
  std::string m_nextCabinet;
  std::map<std::string, std::set<std::string>> m_written;
  uint64_t m_sizeLimit = kDefaultSizeLimit;
  bool m_syncFiles = false;
};

}  // namespace Cabinet
