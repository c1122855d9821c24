#include "res/CQUpdateStrings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "tests/support/ScopedEnv.h"

namespace qrv {
namespace {

using Language = CQUpdateStrings::Language;

TEST(CQUpdateStrings, EveryShownIdHasBothTexts) {
  const uint32_t ids[] = {101, 102, 103, 104, 106, 107, 108, 111, 112, 113, 114, 115, 116, 119, 120,
                          121, 122, 123, 126, 127, 128, 129, 130, 131, 132, 133, 134, 135, 136, 138,
                          139, 140, 141, 142, 143, 144, 145, 146, 147, 148, 149, 150, 151, 152, 153,
                          154, 155, 157, 159, 160, 161, 162, 32772, 32773, 32776, 57344};
  for (uint32_t id : ids) {
    EXPECT_FALSE(CQUpdateStrings::Get(id, Language::kEnglish).empty()) << id;
    EXPECT_FALSE(CQUpdateStrings::Get(id, Language::kKorean).empty()) << id;
  }
  EXPECT_NE(CQUpdateStrings::Get(138, Language::kKorean).find("%s"), std::string::npos);
  EXPECT_EQ(CQUpdateStrings::Get(1, Language::kEnglish), "");
  EXPECT_FALSE(CQUpdateStrings::Has(1));
}

TEST(CQUpdateStrings, LanguageFollowsTheMessageLocale) {
  // Whatever the cases leave set goes back for the tests that follow.
  const test::ScopedEnv keepAll("LC_ALL", std::nullopt);
  const test::ScopedEnv keepMessages("LC_MESSAGES", std::nullopt);
  const test::ScopedEnv keepLang("LANG", std::nullopt);
  auto with = [](const char* all, const char* messages, const char* lang) {
    all ? setenv("LC_ALL", all, 1) : unsetenv("LC_ALL");
    messages ? setenv("LC_MESSAGES", messages, 1) : unsetenv("LC_MESSAGES");
    lang ? setenv("LANG", lang, 1) : unsetenv("LANG");
    return CQUpdateStrings::CurrentLanguage();
  };
  EXPECT_EQ(with(nullptr, nullptr, "ko_KR.UTF-8"), Language::kKorean);
  EXPECT_EQ(with(nullptr, "en_US.UTF-8", "ko_KR.UTF-8"), Language::kEnglish);
  EXPECT_EQ(with("ko_KR.UTF-8", "en_US.UTF-8", nullptr), Language::kKorean);
  EXPECT_EQ(with("", "", "ko"), Language::kKorean) << "empty variables do not count";
  EXPECT_EQ(with(nullptr, nullptr, nullptr), Language::kEnglish);
}

}  // namespace
}  // namespace qrv
