#pragma once

#include <cstdint>

namespace Cabinet {

// What IsCabinet() tells about a cabinet file, from its header.
struct CabinetInfo {
  uint32_t cbCabinet = 0;  // the header's cabinet length (a signature may follow it)
  uint16_t cFolders = 0;
  uint16_t cFiles = 0;
  uint16_t setID = 0;
  uint16_t iCabinet = 0;  // index in its set, from 0
  bool fReserve = false;  // the header has a reserved area (signed cabinets do)
  bool hasprev = false;
  bool hasnext = false;
};

}  // namespace Cabinet
