// Messages of modules, the language of messages, the environment and the
// event log.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <string>

#include "kxwin/kxwin.h"
#include "kxwin_test_util.h"
#include "testing.h"

// This executable's own message table, found like a library's.
namespace {
const char* const kTexts[] = {nullptr, "first message", nullptr,
                              "third message"};
}  // namespace
extern "C" __attribute__((visibility("default")))
const KXWIN_STRING_TABLE kxwin_string_table = {3, kTexts};

namespace {

std::string Message(HMODULE module, DWORD id) {
  char buffer[256];
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, id,
      0, buffer, sizeof buffer, nullptr);
  if (length == 0) return "<error " + std::to_string(GetLastError()) + ">";
  return std::string(buffer, length);
}

std::string LocaleText(LCTYPE type) {
  char buffer[64];
  int length = GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, sizeof buffer);
  return length > 0 ? std::string(buffer) : "<error>";
}

}  // namespace

TEST(ModuleMessages, CatalogLoadedAsDataFileGivesItsMessagesByNumber) {
  std::string dir = kxtest::MakeTempDir("catalog");
  kxtest::WriteFile(dir + "/test.msg", "$set 1\n1 Eins\n7 Sieben mit %s\n");
  std::string command = "gencat " + dir + "/MSG.de " + dir + "/test.msg";
  ASSERT_EQ(std::system(command.c_str()), 0);
  HMODULE module = LoadLibraryExA((dir + "/MSG.de").c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(Message(module, 1), "Eins");
  EXPECT_EQ(Message(module, 7), "Sieben mit %s");  // inserts stay as they are
  EXPECT_EQ(Message(module, 2), "<error 317>");
  char small[4];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, module, 7, 0, small,
                           sizeof small, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(Message(module, 1), "<error 126>");
}

TEST(ModuleMessages, LoadedObjectGivesItsExportedTableElseTheSystemTexts) {
  HMODULE self = kxtest::ModuleOf(&kxwin_string_table);
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(Message(self, 1), "first message");
  EXPECT_EQ(Message(nullptr, 3), "third message");
  EXPECT_EQ(Message(self, 2), "<error 317>");  // a gap
  EXPECT_EQ(Message(self, 4), "<error 317>");  // beyond the table
  HMODULE kxwin = kxtest::ModuleOf(reinterpret_cast<void*>(&FormatMessageA));
  ASSERT_NE(kxwin, nullptr);
  EXPECT_EQ(Message(kxwin, 1), "<error 1813>");  // kxwin has no table
  // The system's texts serve when the module has none.
  char buffer[256];
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
      ERROR_ACCESS_DENIED, 0, buffer, sizeof buffer, nullptr);
  EXPECT_EQ(std::string(buffer, length), "Access is denied.\r\n");
}

TEST(MessageLanguage, ComesFromLcAllThenLcMessagesThenLang) {
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  // Each setting overrides those before it.
  for (auto [variable, value, language] :
       {std::tuple("LANG", "de_DE.UTF-8", "de"),
        {"LC_MESSAGES", "fr_FR", "fr"},
        {"LC_ALL", "C", "en"},
        {"LC_ALL", "pt@euro", "pt"}}) {
    setenv(variable, value, 1);
    EXPECT_EQ(LocaleText(LOCALE_SISO639LANGNAME), language) << value;
  }
}

TEST(Environment, VariableIsCopiedOrItsSizeReported) {
  setenv("KX_TEST_VARIABLE", "value", 1);
  char buffer[16];
  EXPECT_EQ(GetEnvironmentVariableA("KX_TEST_VARIABLE", buffer, sizeof buffer),
            5u);
  EXPECT_STREQ(buffer, "value");
  EXPECT_EQ(GetEnvironmentVariableA("KX_TEST_VARIABLE", buffer, 5), 6u);
  EXPECT_EQ(GetEnvironmentVariableA("KX_NOT_SET_ANYWHERE", buffer, 16), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

TEST(EventLog, ReportsGoThroughARegisteredSource) {
  HANDLE source = RegisterEventSourceA(nullptr, "kxwin-test");
  ASSERT_NE(source, nullptr);
  LPCSTR strings[] = {"a test line", "of two parts"};
  EXPECT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 2,
                           0, strings, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));
  EXPECT_FALSE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 2,
                            0, strings, nullptr));
  EXPECT_EQ(RegisterEventSourceA("remote", "x"), nullptr);
}

TEST(SystemTime, LocalAndUniversalTimesAreNowInTheirZones) {
  setenv("TZ", "UTC-2", 1);  // two hours east of Greenwich
  tzset();
  SYSTEMTIME local, universal;
  GetSystemTime(&universal);
  GetLocalTime(&local);
  EXPECT_EQ((local.wHour - universal.wHour + 24) % 24, 2);
  EXPECT_GE(universal.wYear, 2024);
  EXPECT_LT(local.wMilliseconds, 1000);
  EXPECT_LE(local.wDayOfWeek, 6);
}
