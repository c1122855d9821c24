#pragma once

#include <deque>
#include <string>

struct mscab_decompressor;
struct mscabd_cabinet;
struct mscabd_file;

namespace Cabinet {

class CabinetIo;

// A cabinet opened with libmspack together with the cabinets that continue
// it. A cabinet whose header names a successor is followed by that file,
// looked up in the cabinet's own folder (exact name first, else the one name
// there that matches without regard to ASCII case), and joined with
// libmspack's append() only when the successor agrees: same set id, the next
// index, its "previous cabinet" flag set and its previous name matching.
// libmspack itself would merge unrelated cabinets without complaint.
//
// Ownership: closes the whole set on destruction. The decompressor and the
// I/O table must outlive the object.
// Thread: the thread that uses the decompressor.
class CabinetSet {
 public:
  CabinetSet(mscab_decompressor* decompressor, CabinetIo& io);
  ~CabinetSet();
  CabinetSet(const CabinetSet&) = delete;
  CabinetSet& operator=(const CabinetSet&) = delete;

  // Opens path alone (follow == false) or with its successors. Returns an
  // ExtractError code, 0 on success; detail then says what failed with the
  // actual names and values.
  int Open(const std::string& path, bool follow, std::string& detail);

  // The first cabinet; its files and folders span the whole set. nullptr
  // before a successful Open().
  mscabd_cabinet* First() const { return m_first; }
  // The name the last cabinet gives for its successor, empty when none.
  const std::string& NextName() const { return m_nextName; }
  int Count() const { return static_cast<int>(m_paths.size()); }

  // The ExtractError code (and text in detail) for a libmspack error number
  // of an operation on path, preferring the failure the I/O table recorded.
  static int MapError(int mspackError, const CabinetIo& io, const std::string& path, std::string& detail);

 private:
  mscabd_cabinet* OpenOne(const std::string& path, int& code, std::string& detail);
  static std::string FindInFolder(const std::string& folder, const std::string& name);

  mscab_decompressor* m_decompressor;
  CabinetIo& m_io;
  mscabd_cabinet* m_first = nullptr;
  std::string m_nextName;
  // libmspack keeps the name pointers it was given until the set is closed.
  std::deque<std::string> m_paths;
};

}  // namespace Cabinet
