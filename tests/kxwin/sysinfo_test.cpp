// Module handles and file names, the locale's date picture, the user and
// computer names, and the stock fonts. Each test runs in a process of its
// own, so a test may set the environment for good.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "kxwin/kxwin.h"
#include "kxwin_test_util.h"
#include "testing.h"

// The leak checker's switches, present only in a sanitized build.
extern "C" [[gnu::weak]] void __lsan_disable();
extern "C" [[gnu::weak]] void __lsan_enable();

namespace {

namespace fs = std::filesystem;

std::string ModuleName(HMODULE module) {
  char name[PATH_MAX];
  DWORD n = GetModuleFileNameA(module, name, sizeof name);
  return std::string(name, n);
}

std::string DatePicture() {
  char picture[128] = {};
  return GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SSHORTDATE, picture,
                        sizeof picture) > 0
             ? picture
             : "(failed)";
}

TEST(ModuleFileName, NullHandleNamesTheExecutableCutToTheBuffer) {
  std::string full = ModuleName(nullptr);
  EXPECT_EQ(full, fs::read_symlink("/proc/self/exe").string());
  std::string buffer(full.size() + 1, 'x');
  DWORD size = static_cast<DWORD>(full.size());
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), size), size);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buffer.c_str(), full.substr(0, full.size() - 1));
  // One more byte holds the whole name and its terminator.
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), size + 1), size);
  EXPECT_EQ(buffer.c_str(), full);
}

TEST(ModuleHandle, AnAddressOrANameGivesTheObjectThatHoldsIt) {
  auto address = reinterpret_cast<LPCSTR>(&GetModuleFileNameA);
  HMODULE module =
      kxtest::ModuleOf(address, GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
  ASSERT_NE(module, nullptr);
  Dl_info where{};
  ASSERT_NE(dladdr(address, &where), 0);
  EXPECT_EQ(module, where.dli_fbase);
  EXPECT_TRUE(fs::equivalent(ModuleName(module), where.dli_fname));

  // A null name, or an address in the test, gives the executable, which
  // stays loaded when freed.
  HMODULE executable = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(0, nullptr, &executable));
  EXPECT_EQ(executable, kxtest::ModuleOf(reinterpret_cast<void*>(&ModuleName)));
  EXPECT_TRUE(FreeLibrary(executable));
  EXPECT_EQ(ModuleName(executable), ModuleName(nullptr));

  // Asked of libc's own handle, dlsym bypasses a sanitizer's interceptor.
  void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  ASSERT_NE(dladdr(dlsym(libc, "getpid"), &where), 0);
  dlclose(libc);
  ASSERT_TRUE(GetModuleHandleExA(0, "libc.so.6", &module));
  EXPECT_EQ(module, where.dli_fbase);
  EXPECT_EQ(fs::path(ModuleName(module)).filename(), "libc.so.6");

  std::string heap(64, 'x');
  EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                  heap.data(), &module));
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(module, nullptr);
}

TEST(DataFileModule, RelativePathIsRecordedAbsoluteUntilFreed) {
  fs::path dir = kxtest::MakeTempDir("modules");
  kxtest::WriteFile((dir / "KXENVRC.de").string(), "catalog");
  fs::current_path(dir);
  HMODULE module =
      LoadLibraryExA("./sub/../KXENVRC.de", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(module) & 1, 1u);
  EXPECT_EQ(ModuleName(module), (dir / "KXENVRC.de").string());
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(ModuleName(module), "");
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  // A missing file, or flags other than a data file, are refused.
  EXPECT_EQ(LoadLibraryExA("absent", nullptr, LOAD_LIBRARY_AS_DATAFILE),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryExA("/proc/self/exe", nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(LocaleDate, CLocaleGivesMonthDayYear) {
  setenv("LC_ALL", "C", 1);
  EXPECT_EQ(DatePicture(), "MM/dd/yy");
  EXPECT_EQ(GetLocaleInfoA(0, LOCALE_SLONGDATE, nullptr, 0), 9);
  char picture[8] = {'x'};  // one byte short: left alone
  EXPECT_EQ(GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SSHORTDATE, picture,
                           sizeof picture),
            0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(picture[0], 'x');
  EXPECT_EQ(GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, 0x1234, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

// A locale made for the test puts letters, a quote, an unpadded month, a
// time field and %% into the date format.
TEST(LocaleDate, LettersAndQuotesOfTheFormatBecomeLiterals) {
  fs::path dir = kxtest::MakeTempDir("locale");
  std::ofstream(dir / "source") << R"(LC_TIME
abday "Su";"Mo";"Tu";"We";"Th";"Fr";"Sa"
day "Su";"Mo";"Tu";"We";"Th";"Fr";"Sa"
abmon "1";"2";"3";"4";"5";"6";"7";"8";"9";"10";"11";"12"
mon "1";"2";"3";"4";"5";"6";"7";"8";"9";"10";"11";"12"
d_t_fmt "%c"
d_fmt "%A, %e de %B l'an %Y %H%% %-m"
t_fmt "%T"
am_pm "AM";"PM"
t_fmt_ampm "%r"
END LC_TIME
)";
  std::string command = "localedef -c -i " + (dir / "source").string() + " " +
                        (dir / "kx_TEST").string() + " >/dev/null 2>&1";
  if (std::system(command.c_str()) == -1 ||
      !fs::exists(dir / "kx_TEST" / "LC_TIME")) {
    GTEST_SKIP() << "localedef cannot make a locale here";
  }
  setenv("LOCPATH", dir.c_str(), 1);
  setenv("LC_ALL", "kx_TEST", 1);
  // glibc's newlocale never frees its copy of LOCPATH.
  if (__lsan_disable) __lsan_disable();
  std::string picture = DatePicture();
  if (__lsan_enable) __lsan_enable();
  EXPECT_EQ(picture, "dddd, d 'de' MMMM 'l''an' yyyy % M");
}

TEST(UserName, IsTheEffectiveUsersEntryOrTheSizeItNeeds) {
  DWORD needed = 0;
  EXPECT_FALSE(GetUserNameA(nullptr, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_GT(needed, 1u);
  std::string name(needed, 'x');
  DWORD size = needed - 1;
  EXPECT_FALSE(GetUserNameA(name.data(), &size));
  EXPECT_EQ(size, needed);
  EXPECT_TRUE(GetUserNameA(name.data(), &size));
  EXPECT_EQ(size, needed);
  if (const passwd* entry = getpwuid(geteuid())) {
    EXPECT_EQ(name.c_str(), std::string(entry->pw_name));
  }
}

TEST(ComputerName, IsTheHostNameUpToTheFirstDot) {
  char host[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::string expected =
      std::string(host).substr(0, std::string(host).find('.'));
  std::string name(expected.size(), 'x');
  DWORD size = static_cast<DWORD>(expected.size());  // no room for the end
  EXPECT_FALSE(GetComputerNameA(name.data(), &size));
  EXPECT_EQ(GetLastError(), 111u);  // ERROR_BUFFER_OVERFLOW
  EXPECT_EQ(size, expected.size() + 1);
  name.resize(size);
  ASSERT_TRUE(GetComputerNameA(name.data(), &size));
  EXPECT_EQ(size, expected.size());  // without the terminator now
  EXPECT_EQ(name.c_str(), expected);
}

TEST(StockFont, SystemFontIsBoldInTheSystemFamilyAndTheGuiFontIsNot) {
  LOGFONTA font{}, gui{};
  ASSERT_EQ(GetObjectA(GetStockObject(SYSTEM_FONT), sizeof font, &font),
            static_cast<int>(sizeof font));
  HGDIOBJ gui_font = GetStockObject(DEFAULT_GUI_FONT);
  ASSERT_EQ(GetObjectA(gui_font, sizeof gui, &gui),
            static_cast<int>(sizeof gui));
  EXPECT_EQ(std::tuple(font.lfWeight, font.lfHeight, gui.lfWeight),
            std::tuple(700, 16, 400));
  std::string face = font.lfFaceName;
  EXPECT_EQ(gui.lfFaceName, face);
  ASSERT_FALSE(face.empty());
  // A small buffer gets the first bytes; other objects are unknown.
  EXPECT_EQ(GetObjectA(gui_font, 0, nullptr),
            static_cast<int>(sizeof(LOGFONTA)));
  LOGFONTA partial{};
  partial.lfWeight = -1;
  EXPECT_EQ(GetObjectA(gui_font, sizeof(LONG), &partial),
            static_cast<int>(sizeof(LONG)));
  EXPECT_EQ(std::pair(partial.lfHeight, partial.lfWeight), std::pair(16, -1));
  EXPECT_EQ(GetStockObject(0), nullptr);  // WHITE_BRUSH
  EXPECT_EQ(GetObjectA(reinterpret_cast<HGDIOBJ>(0x1234), sizeof gui, &gui), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
