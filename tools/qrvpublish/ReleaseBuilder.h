#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/qrvpublish/CabinetSigner.h"
#include "tools/qrvpublish/InfoSigner.h"
#include "tools/qrvpublish/ReleaseDescription.h"

namespace qrv::tools {

// Makes an update server tree from a release description:
//
//   OUT/qupdate_s.ini        VersionInfo, UpdateVersionInfo, COUNT,
//                            UpdateDependency, UPDATEINFOPATH of each product
//   OUT/KEY.ini              the product file: per feature FCOUNT and
//                            F%dFILE = KEY\CABINET.cab, then the actions
//   OUT/KEY.txt              the update-content text, when the product has one
//   OUT/KEY/CABINET.cab      signed MSZIP cabinets; a feature whose files
//                            exceed the cabinet size is split into
//                            CABINET.cab, CABINET_2.cab, ... (files in name
//                            order, a file never split)
//
// The update information is signed and bound together so that a client can
// refuse a tampered, older, stale or mixed release: each product file lists
// the size and SHA-256 of every cabinet it names (F%dSIZE, F%dSHA256);
// qupdate_s.ini carries a [Release] section (Serial, Date, Expires) and the
// size and SHA-256 of each product file ([ProductFileSize],
// [ProductFileSHA256]); and KEY.ini.p7s and qupdate_s.ini.p7s are detached
// CMS signatures by the cabinets' key (InfoSigner). Files are written in the
// order they depend on each other (cabinets, product files, their
// signatures, qupdate_s.ini, its signature last), each one atomically.
//
// The serial is Options::serial, else one more than the previous tree's,
// else the current Unix time; one that is not greater than the previous
// tree's is refused unless Options::force is set.
//
// With a previous tree (an incremental release) the builder unpacks the
// previous cabinets of each feature in their listed order, as a client would,
// and packs only the files whose bytes differ or that are new, into
// KEY/CABINET-LEVEL.cab (split likewise). The previous cabinets are copied and
// stay listed before the new ones, so a client at any earlier level that
// unpacks the whole list in order reaches the new level with this tree
// alone. A product with no changed file keeps its cabinets and may keep its
// level; one with changed files must raise it.
//
// Cabinets are packed and signed on as many threads as the machine has
// cores. OUT must not exist or be an empty folder; on failure everything
// the builder made below OUT is removed again.
//
// Thread: the caller's; Build starts and joins its own workers.
class ReleaseBuilder {
 public:
  struct Options {
    std::filesystem::path out;
    std::filesystem::path previous;      // empty: a full release
    uint64_t cabinetSize = uint64_t{64} << 20;
    unsigned threads = 0;                // 0: one per core
    uint32_t serial = 0;                 // 0: chosen as described above
    int64_t validSeconds = int64_t{30} * 24 * 3600;  // Expires = Date + this
    bool force = false;                  // allow a serial not above the previous tree's
  };

  // The info signer's key is loaded once the cabinets are signed, so a bad
  // key or pass phrase is reported by the cabinet signer first.
  ReleaseBuilder(const ReleaseDescription& release, const CabinetSigner& signer, InfoSigner& infoSigner,
                 Options options)
      : m_release(release), m_signer(signer), m_infoSigner(infoSigner), m_options(std::move(options)) {}

  // True when the whole tree was made; false with `error` naming what failed.
  // `report` gets one line per product ("KEY level N: F files in C new
  // cabinets, K kept") and one for the release ("release serial N, expires
  // TIME").
  bool Build(std::vector<std::string>& report, std::string& error);

  // The largest file a cabinet folder can hold.
  static constexpr uint64_t kMaxFileBytes = 0x7FFF8000;

 private:
  const ReleaseDescription& m_release;
  const CabinetSigner& m_signer;
  InfoSigner& m_infoSigner;
  Options m_options;
};

}  // namespace qrv::tools
