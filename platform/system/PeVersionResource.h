#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qrv::platform {

// The version resource (VS_VERSIONINFO, resource type 16) of a PE image,
// PE32 or PE32+, read with our own bounded parser so that version texts can be
// shown on any platform.
//
// Only the pieces the program needs are read: the headers, the section table,
// the resource directory path to the version entry and the version block
// itself (at most 64 KiB, the largest block its 16-bit length can describe).
// Every offset and size taken from the file is checked against the file and
// against the structure it lies in; a damaged file gives false, never a crash.
//
// Thread: an object is used by one thread at a time; separate objects are
// independent.
class PeVersionResource {
 public:
  // Reads the version block of the PE file at path. False, with LastError
  // naming the path and the reason, when the file cannot be read, is not a PE
  // image or holds no usable version block; the object is then empty.
  bool Load(const std::string& path);

  // Takes a version block already in memory (the bytes of the resource).
  // False when it does not start with a VS_VERSION_INFO node.
  bool Parse(std::string block);

  // VS_FIXEDFILEINFO dwFileVersionMS / dwFileVersionLS; false when the block
  // has no fixed part with the right signature.
  bool FixedFileVersion(uint32_t& ms, uint32_t& ls) const;

  // The first language / code page pair of \VarFileInfo\Translation; false
  // when there is none.
  bool FirstTranslation(uint16_t& language, uint16_t& codePage) const;

  // The text of \StringFileInfo\TABLE\KEY as UTF-8 (TABLE such as "041204b0";
  // table and key compared without case, as the system's query does). Empty
  // when the entry is missing or its value has no length.
  std::string StringValue(std::string_view table, std::string_view key) const;

 private:
  std::string m_block;  // the VS_VERSIONINFO bytes, empty when nothing is loaded
};

}  // namespace qrv::platform
