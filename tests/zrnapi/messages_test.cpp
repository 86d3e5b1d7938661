// Failure texts, message stacks, locale modules and message texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "testing.h"
#include "zrnapi/zrnapi.h"

namespace {

// A locale directory with KXENVRC.en and KXENVRC.de made by gencat.
void MakeLocaleDirectory() {
  std::string dir = kxtest::MakeTempDir("locale");
  const char* sources[][2] = {{"en", "$set 1\n1 Install directory.\n"},
                              {"de", "$set 1\n1 Installationsverzeichnis.\n"}};
  for (auto& [language, text] : sources) {
    std::string msg = dir + "/" + language + ".msg";
    kxtest::WriteFile(msg, text);
    EXPECT_EQ(kxtest::RunProgram({"gencat", dir + "/KXENVRC." + language, msg})
                  .status,
              0);
  }
  setenv("KX_LOCALE_DIR", dir.c_str(), 1);
}

std::string Text(HMODULE module, DWORD number) {
  char buffer[4096];
  DWORD size = 4095;
  if (!FormatMsgString(module, buffer, &size, number)) return "<failed>";
  EXPECT_EQ(size, std::strlen(buffer));
  return buffer;
}

}  // namespace

TEST(Locale, ModuleIsFoundByLanguageCodeAndGivesItsTextsOrFails) {
  KX_LINUX_ONLY("catalogs made by gencat; Windows has resource modules");
  MakeLocaleDirectory();
  HMODULE german = nullptr;
  ASSERT_EQ(loadLocaleA("KXENVRC", "de", &german), 0u);
  EXPECT_EQ(Text(german, 1), "Installationsverzeichnis.");
  char path[4096];
  std::string name(path, GetModuleFileNameA(german, path, sizeof path));
  EXPECT_TRUE(name.ends_with("/KXENVRC.de")) << name;
  EXPECT_EQ(Text(german, 99), "<failed>");  // a number it lacks
  EXPECT_NE(std::string(GetMsgString()).find("99"), std::string::npos);
  // A buffer must hold the text and its end.
  char small[4];
  DWORD size = 3;
  EXPECT_FALSE(FormatMsgString(german, small, &size, 1));
  EXPECT_FALSE(FormatMsgString(german, nullptr, &size, 1));
  // A freed handle is null, and freeing it again or nothing is no failure.
  std::string last = GetMsgString();
  freeLocale(&german);
  EXPECT_EQ(german, nullptr);
  freeLocale(&german);
  freeLocale(nullptr);
  EXPECT_EQ(GetMsgString(), last);
  // A missing module or a bad language fails.
  HMODULE module = reinterpret_cast<HMODULE>(1);
  EXPECT_NE(loadLocaleA("KXENVRC", "fr", &module), 0u);
  EXPECT_EQ(module, nullptr);
  EXPECT_NE(loadLocaleA("KXENVRC", "../de", &module), 0u);
  EXPECT_NE(loadLocaleA(nullptr, "de", &module), 0u);
  EXPECT_NE(loadLocaleA("KXENVRC", "de", nullptr), 0u);
}

TEST(Locale, LanguageComesFromTheEnvironmentWhenNotGiven) {
  KX_LINUX_ONLY("catalogs made by gencat; Windows has resource modules");
  MakeLocaleDirectory();
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  for (const char* lang : {"de_AT.UTF-8", "C"}) {
    setenv("LANG", lang, 1);
    HMODULE module = nullptr;
    ASSERT_EQ(loadLocaleA("KXENVRC", nullptr, &module), 0u) << lang;
    EXPECT_EQ(Text(module, 1),
              *lang == 'C' ? "Install directory." : "Installationsverzeichnis.")
        << lang;
    freeLocale(&module);
  }
}

TEST(Locale, ProductCatalogsHoldEveryDescriptionInEachLanguage) {
  setenv("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR, 1);
  HMODULE english = nullptr, german = nullptr;
  ASSERT_EQ(loadLocaleA("KXENVRC", "en", &english), 0u);
  ASSERT_EQ(loadLocaleA("KXENVRC", "de", &german), 0u);
  EXPECT_EQ(Text(english, 1), "Directory in which the product is installed.");
  EXPECT_EQ(Text(german, 1),
            "Verzeichnis, in dem das Produkt installiert ist.");
  for (DWORD n = 1; n <= 464; ++n) {
    ASSERT_NE(Text(english, n), "<failed>") << n;
    ASSERT_NE(Text(german, n), "<failed>") << n;
  }
  EXPECT_EQ(Text(english, 465), "<failed>");
  freeLocale(&english);
  freeLocale(&german);
}

TEST(Messages, PopRestoresTheTextFromBeforeThePush) {
  HMODULE module = nullptr;
  EXPECT_NE(loadLocaleA(nullptr, nullptr, &module), 0u);
  std::string outer = GetMsgString();
  ASSERT_NE(outer, "");
  PushMsgStack();
  EXPECT_STREQ(GetMsgString(), "");
  EXPECT_FALSE(QueryRegistry(nullptr));
  EXPECT_STRNE(GetMsgString(), "");
  PopMsgStack();
  EXPECT_EQ(GetMsgString(), outer);
  PopMsgStack();  // one pop too many is harmless
  EXPECT_EQ(GetMsgString(), outer);
}

TEST(Messages, LastSystemErrorHasItsText) {
  SetLastError(ERROR_ACCESS_DENIED);
  // The system's own words: Windows says "Access is denied.", Wine "Access
  // denied.".
  std::string text = SetAndGetLastErrorMsg();
  EXPECT_TRUE(kxtest::StartsWith(text, "Access"));
  EXPECT_TRUE(text.ends_with(" denied. (code 5)")) << text;
  EXPECT_EQ(GetMsgString(), text);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}
