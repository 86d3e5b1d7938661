// Module handles and file names, the locale's date picture, the user and
// computer names, and the stock fonts.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "kxwin/kxwin.h"
#include "testing.h"

// Defined inside kxwin, where the test may or may not reach it: the shared
// library does not export it, so the weak reference is null there.
namespace kxwin {
[[gnu::weak]] std::string SystemFontFamily();
}
// The leak checker's switches, present only in a sanitized build.
extern "C" [[gnu::weak]] void __lsan_disable();
extern "C" [[gnu::weak]] void __lsan_enable();

namespace {

namespace fs = std::filesystem;

// Sets an environment variable for one scope, then puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

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

TEST(ModuleFileName, NullHandleNamesTheExecutable) {
  EXPECT_EQ(ModuleName(nullptr), fs::read_symlink("/proc/self/exe").string());
}

TEST(ModuleFileName, TruncatedNameReportsInsufficientBuffer) {
  std::string full = ModuleName(nullptr);
  std::string buffer(full.size(), 'x');
  DWORD size = static_cast<DWORD>(full.size());
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), size), size);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buffer.c_str(), full.substr(0, full.size() - 1));

  // One more byte holds the whole name and its terminator.
  buffer.assign(full.size() + 1, 'x');
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), size + 1), size);
  EXPECT_EQ(buffer.c_str(), full);
}

TEST(ModuleHandle, AddressInsideKxwinGivesTheObjectThatHoldsIt) {
  auto address = reinterpret_cast<LPCSTR>(&GetModuleFileNameA);
  HMODULE module = nullptr;
  ASSERT_TRUE(
      GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         address, &module));
  Dl_info where{};
  ASSERT_NE(dladdr(address, &where), 0);
  EXPECT_EQ(module, where.dli_fbase);
  std::string name = ModuleName(module);
  ASSERT_TRUE(fs::path(name).is_absolute()) << name;
  EXPECT_TRUE(fs::equivalent(name, where.dli_fname)) << name;

  HMODULE executable = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(0, nullptr, &executable));
  if (module != executable) {  // kxwin is the shared library
    EXPECT_NE(name.find("libkxwin.so"), std::string::npos) << name;
  }
}

TEST(ModuleHandle, NullNameGivesTheExecutable) {
  HMODULE module = nullptr, from_address = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(0, nullptr, &module));
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                 reinterpret_cast<LPCSTR>(&ModuleName),
                                 &from_address));
  EXPECT_EQ(module, from_address);
  EXPECT_EQ(ModuleName(module), ModuleName(nullptr));
  EXPECT_TRUE(FreeLibrary(module));  // the loader's object stays loaded
  EXPECT_EQ(ModuleName(module), ModuleName(nullptr));
}

TEST(ModuleHandle, FileNameFindsALoadedLibrary) {
  void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  // Asked of libc's own handle, dlsym bypasses a sanitizer's interceptor.
  Dl_info where{};
  ASSERT_NE(dladdr(dlsym(libc, "getpid"), &where), 0);
  dlclose(libc);
  HMODULE module = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(0, "libc.so.6", &module));
  EXPECT_EQ(module, where.dli_fbase);
  EXPECT_EQ(fs::path(ModuleName(module)).filename(), "libc.so.6");
}

TEST(ModuleHandle, AddressOutsideEveryObjectIsNotFound) {
  std::string heap(64, 'x');
  HMODULE module = reinterpret_cast<HMODULE>(0x10);
  EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                  heap.data(), &module));
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(module, nullptr);
}

TEST(DataFileModule, RelativePathIsRecordedAbsoluteUntilFreed) {
  fs::path dir = kxtest::MakeTempDir("modules");
  std::ofstream(dir / "KXENVRC.de") << "catalog";
  fs::path old_dir = fs::current_path();
  fs::current_path(dir);
  HMODULE module =
      LoadLibraryExA("./sub/../KXENVRC.de", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  fs::current_path(old_dir);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(module) & 1, 1u);
  EXPECT_EQ(ModuleName(module), (dir / "KXENVRC.de").string());

  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(ModuleName(module), "");
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(DataFileModule, MissingFileOrOtherFlagsAreRefused) {
  fs::path dir = kxtest::MakeTempDir("modules");
  EXPECT_EQ(LoadLibraryExA((dir / "absent").c_str(), nullptr,
                           LOAD_LIBRARY_AS_DATAFILE),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryExA("/proc/self/exe", nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(LocaleDate, CLocaleGivesMonthDayYear) {
  ScopedEnv c_locale("LC_ALL", "C");
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

TEST(LocaleDate, InstalledLocaleGivesItsOwnOrder) {
  struct Known {
    const char* name;
    const char* picture;
  };
  for (Known known :
       {Known{"de_DE.UTF-8", "dd.MM.yyyy"}, Known{"en_GB.UTF-8", "dd/MM/yy"},
        Known{"fr_FR.UTF-8", "dd/MM/yyyy"},
        Known{"ja_JP.UTF-8", "yyyy年MM月dd日"}}) {
    locale_t installed = newlocale(LC_TIME_MASK, known.name, nullptr);
    if (!installed) continue;
    freelocale(installed);
    ScopedEnv locale("LC_ALL", known.name);
    EXPECT_EQ(DatePicture(), known.picture) << known.name;
    return;
  }
  GTEST_SKIP() << "none of the known locales is installed";
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
  ScopedEnv path("LOCPATH", dir.c_str());
  ScopedEnv locale("LC_ALL", "kx_TEST");
  // glibc's newlocale never frees its copy of LOCPATH.
  if (__lsan_disable) __lsan_disable();
  std::string picture = DatePicture();
  if (__lsan_enable) __lsan_enable();
  EXPECT_EQ(picture, "dddd, d 'de' MMMM 'l''an' yyyy % M");
}

TEST(UserName, IsTheEffectiveUsersPasswordEntry) {
  const passwd* entry = getpwuid(geteuid());
  if (!entry) GTEST_SKIP() << "the user has no password entry";
  std::string expected = entry->pw_name;
  char name[256];
  DWORD size = sizeof name;
  ASSERT_TRUE(GetUserNameA(name, &size));
  EXPECT_EQ(name, expected);
  EXPECT_EQ(size, expected.size() + 1);
}

TEST(UserName, TooSmallBufferReportsTheNeededSize) {
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

TEST(StockFont, SystemFontIsBoldInTheSystemFamily) {
  LOGFONTA font{};
  ASSERT_EQ(GetObjectA(GetStockObject(SYSTEM_FONT), sizeof font, &font),
            static_cast<int>(sizeof font));
  EXPECT_EQ(font.lfWeight, 700);
  EXPECT_EQ(font.lfHeight, 16);
  std::string face = font.lfFaceName;
  ASSERT_FALSE(face.empty());
  ASSERT_LT(face.size(), size_t{LF_FACESIZE});
  LOGFONTA gui{};
  ASSERT_EQ(GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof gui, &gui),
            static_cast<int>(sizeof gui));
  EXPECT_EQ(gui.lfWeight, 400);
  EXPECT_EQ(gui.lfFaceName, face);
  if (kxwin::SystemFontFamily) {  // reachable when kxwin is linked in
    std::string family = kxwin::SystemFontFamily();
    EXPECT_EQ(family.substr(0, face.size()), face);
    if (family.size() < LF_FACESIZE) {
      EXPECT_EQ(face, family);
    }
  }
}

TEST(StockFont, SmallBufferGetsTheFirstBytesAndOtherObjectsAreUnknown) {
  HGDIOBJ font = GetStockObject(DEFAULT_GUI_FONT);
  EXPECT_EQ(GetObjectA(font, 0, nullptr), static_cast<int>(sizeof(LOGFONTA)));
  LOGFONTA partial{};
  partial.lfWeight = -1;
  EXPECT_EQ(GetObjectA(font, sizeof(LONG), &partial),
            static_cast<int>(sizeof(LONG)));
  EXPECT_EQ(partial.lfHeight, 16);
  EXPECT_EQ(partial.lfWeight, -1);

  EXPECT_EQ(GetStockObject(0), nullptr);  // WHITE_BRUSH
  EXPECT_EQ(
      GetObjectA(reinterpret_cast<HGDIOBJ>(0x1234), sizeof partial, &partial),
      0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
