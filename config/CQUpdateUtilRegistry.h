#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/tagUPDATETYPE.h"

namespace qrv {

// Registry access for the whole updater: the fixed values of the main key,
// the values of a product's subkey, and general writes below any of the five
// roots (0 HKCR, 1 HKCU, 2 HKLM, 3 HKU, 4 HKCC).
//
// Holds no state: every operation opens the key it needs and closes it before
// returning, so values written by one part of the program are seen at once by
// every other. Nothing is thrown and nothing is shown; failures are results:
// 0, an empty text, 0xFFFFFFFF for a missing number, or the stated fallback.
//
// Strings: a stored string of more than kMaxStringBytes bytes cannot be read
// (the read fails as if the value were missing); a read text ends at the
// first NUL. Strings are written without a terminator.
//
// Thread: any; create one on the stack per use.
class CQUpdateUtilRegistry {
 public:
  static constexpr std::string_view kMainKey = "SOFTWARE\\QRV\\Shared\\QrvUpdate";
  static constexpr std::string_view kInstallInfoKey = "SOFTWARE\\QRV\\Shared\\Install Information";
  static constexpr size_t kMaxStringBytes = 256;
  static constexpr size_t kMaxKeyPathChars = 255;
  static constexpr uint32_t kMissingDword = 0xFFFFFFFFu;

  virtual ~CQUpdateUtilRegistry() = default;

  // --- values of the main key (HKLM) ---
  // Reads a string value; 1 on success, else 0 with out emptied.
  int ReadString(std::string_view name, std::string& out) const;
  int ReadStringValue(std::string_view name, std::string& out) const;
  // The REG_DWORD value, or kMissingDword when the key or value is missing or
  // is not a four-byte number.
  uint32_t ReadDword(std::string_view name) const;
  // Write into the existing main key (never created here); 1/0.
  int WriteString(std::string_view name, std::string_view text) const;
  int WriteDword(std::string_view name, uint32_t value) const;

  // --- values of a product's subkey (main key \ product) ---
  uint32_t ReadProductDword(std::string_view product, std::string_view name) const;
  // REG_DWORD into an existing product subkey; 1/0.
  int WriteProductDword(std::string_view name, std::string_view product, uint32_t value) const;
  void DeleteProductValue(std::string_view name, std::string_view product) const;
  // The value, or the product argument itself when the subkey or value is missing.
  void ReadProductString(std::string& out, std::string_view product, std::string_view name) const;
  int ReadProductFilePath(std::string& out, std::string_view product) const;
  int ReadProductPath(std::string& out, std::string_view product) const;
  // Finds the product's folder in the installers' records: the first subkey of
  // the install-information key whose whole name is a prefix of the product
  // name (case ignored) gives its Path value, which is then stored as the
  // product's ProductPath. 1 when no record matches (out unchanged) or the
  // path was found; 0 when the keys cannot be opened or Path is missing.
  int LookupInstallPath(std::string& out, std::string_view product) const;
  // Appends a record for every subkey of keyPath (under HKLM) that has
  // Pidkey, ProductName and Product; other fields stay empty. 0 when keyPath
  // cannot be opened, else 1.
  int EnumProducts(std::vector<tagUPDATETYPE>& products, std::string_view keyPath) const;

  // --- any key below a root index ---
  // Opens (or else creates) the key and writes REG_SZ; 1/0.
  int SetStringValue(uint32_t root, std::string_view keyPath, std::string_view name, std::string_view text) const;
  // Writes REG_DWORD holding the number at the start of text (optional blanks
  // and sign, then digits; none gives 0) into an existing key; 1/0.
  int SetDwordValueFromText(uint32_t root, std::string_view keyPath, std::string_view name,
                            std::string_view text) const;
  // Writes REG_BINARY of the four little-endian bytes of value into an existing key; 1/0.
  int SetBinaryValue(uint32_t root, std::string_view keyPath, std::string_view name, uint32_t value) const;
  // 1 when the key could be opened (whether or not the value existed), else 0.
  int DeleteValue(uint32_t root, std::string_view keyPath, std::string_view name) const;

  // The number at the start of text, as SetDwordValueFromText stores it
  // (wraps modulo 2^32).
  static uint32_t ParseLeadingNumber(std::string_view text);
};

}  // namespace qrv
