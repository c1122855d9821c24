#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace qrv {

// The limits every transport (HTTP, FTP, network folder) holds its downloads
// to, and what it learned about the files of one run. Each transport owns
// one; it lives as long as the transport, which lives for one run.
//
//   size   a profile file (a name ending in ".ini": qupdate_s.ini and the
//          product files, PRODUCT.ini) may have kMaxProfileFileBytes, any
//          other file kMaxFileBytes. The profile files are read whole and
//          often, and are a few kilobytes in any real update tree.
//   time   the floor rate of the MinTransferRate setting
//          (CQUpdateMgrEnv::GetMinTransferRate; see platform::TransferBudget).
//
// A file whose body passed its cap is remembered by its name: asking for it
// again in the same run fails at once (RefusedBefore), without traffic.
//
// Thread: any; the remembered names are guarded by a lock.
class TransferLimits {
 public:
  static constexpr uint64_t kMaxFileBytes = uint64_t{4} << 30;
  static constexpr uint64_t kMaxProfileFileBytes = uint64_t{1} << 20;
  // Update notes are fetched for every pending product at every check and
  // shown up to a megabyte; a larger file is not worth the disk.
  static constexpr uint64_t kMaxNotesBytes = uint64_t{1} << 20;

  // Reads the floor rate from the settings.
  TransferLimits();

  uint64_t FloorRate() const { return m_floorRate; }
  // The cap of the file name (a server-side name, either separator).
  static uint64_t CapFor(std::string_view name);

  // True when name was refused by its cap earlier in this run; reason then
  // tells the caller what to report, with the earlier reason in it.
  bool RefusedBefore(const std::string& name, std::string& reason) const;
  // Remembers that name passed its cap, and why.
  void NoteRefused(const std::string& name, const std::string& reason);

 private:
  uint64_t m_floorRate;
  mutable std::mutex m_lock;
  std::map<std::string, std::string> m_refused;  // name -> reason
};

}  // namespace qrv
