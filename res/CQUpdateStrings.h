#pragma once

#include <cstdint>
#include <string>

namespace qrv {

// The program's string table: every text a person sees, by numeric id, in
// English and Korean. Korean is chosen when the locale of messages (LC_ALL,
// else LC_MESSAGES, else LANG) starts with "ko".
//
// Thread: any; the tables are constant.
class CQUpdateStrings {
 public:
  enum class Language { kEnglish, kKorean };

  // The text of id in the language in force; empty for an unknown id.
  static std::string Get(uint32_t id);
  static std::string Get(uint32_t id, Language language);
  // Whether the table has id.
  static bool Has(uint32_t id);
  static Language CurrentLanguage();
};

}  // namespace qrv
