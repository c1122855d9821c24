#pragma once

#include <cstdint>
#include <string>

namespace Cabinet {

// One file of a cabinet (or set) as ListFiles() reports it.
struct CabinetEntry {
  std::string name;       // decoded, UTF-8, '/' separators
  bool safe = true;       // false: extraction refuses the whole cabinet
  std::string refusal;    // why, when not safe
  uint32_t size = 0;
  int attribs = 0;        // the CFFILE attribute word as stored
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;  // as stored
};

}  // namespace Cabinet
