#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/qrvpublish/CabinetSigner.h"
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
  };

  ReleaseBuilder(const ReleaseDescription& release, const CabinetSigner& signer, Options options)
      : m_release(release), m_signer(signer), m_options(std::move(options)) {}

  // True when the whole tree was made; false with `error` naming what failed.
  // `report` gets one line per product ("KEY level N: F files in C new
  // cabinets, K kept").
  bool Build(std::vector<std::string>& report, std::string& error);

  // The largest file a cabinet folder can hold.
  static constexpr uint64_t kMaxFileBytes = 0x7FFF8000;

 private:
  const ReleaseDescription& m_release;
  const CabinetSigner& m_signer;
  Options m_options;
};

}  // namespace qrv::tools
