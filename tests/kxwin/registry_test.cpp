// The registry store in one process: values, names, enumeration, deletion,
// transactions and bad input; stores that cannot be used.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "kxwin_test_util.h"
#include "testing.h"

using namespace kxtest;
using Names = std::vector<std::string>;

namespace {

Names Subkeys(HKEY key) {
  Names names;
  char name[256];
  for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == 0; ++i) {
    names.push_back(name);
  }
  return names;
}

Names ValueNames(HKEY key) {
  Names names;
  char name[256];
  for (DWORD i = 0, size = sizeof name;
       RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) ==
       0;
       ++i, size = sizeof name) {
    names.push_back(name);
  }
  return names;
}

}  // namespace

TEST(RegistryValues, EveryTypeReadsBackAsWrittenAndShortBuffersGetTheSize) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\Test\\Types", key.out()), ERROR_SUCCESS);
  const DWORD number = 0xDEADBEEF;
  const BYTE binary[] = {0, 1, 2, 255}, qword[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const struct {
    const char* name;
    DWORD type;
    const void* data;
    DWORD size;
  } rows[] = {
      {"text", REG_SZ, "0123456789", 11},
      {"unterminated text", REG_SZ, "abc", 3},  // a zero after: stored too
      {"cut text", REG_SZ, "abcd", 3},          // stored as given
      {"number", REG_DWORD, &number, 4},
      {"multi", REG_MULTI_SZ, "one\0two\0", 9},
      {"binary", REG_BINARY, binary, sizeof binary},
      {"empty", REG_BINARY, nullptr, 0},
      {"other", REG_QWORD, qword, sizeof qword},
  };
  for (const auto& c : rows) {
    ASSERT_EQ(RegSetValueExA(key, c.name, 0, c.type,
                             static_cast<const BYTE*>(c.data), c.size),
              ERROR_SUCCESS);
  }
  for (const auto& c : rows) {
    BYTE buffer[64];
    std::memset(buffer, 0xBD, sizeof buffer);
    DWORD type = 0, size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, buffer, &size), 0)
        << c.name;
    // Windows adds a zero left out only when the byte after the count is
    // one, and a read ends a string where there is room (Wine's tests).
    auto* text = static_cast<const char*>(c.data);
    bool zero_after = c.type == REG_SZ && c.size && text[c.size - 1];
    bool added = zero_after && !text[c.size];
    ASSERT_EQ(std::pair(type, size), std::pair(c.type, c.size + added))
        << c.name;
    EXPECT_TRUE(!size || std::memcmp(buffer, c.data, size) == 0) << c.name;
    EXPECT_EQ(buffer[size], zero_after && !added ? 0 : 0xBD) << c.name;
  }
  BYTE exact[4] = {0, 0, 0, 0xBD};  // nothing written past its 3 bytes
  DWORD three = 3;
  RegQueryValueExA(key, "cut text", nullptr, nullptr, exact, &three);
  EXPECT_EQ(std::string(exact, exact + 4), "abc\xBD");
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "text", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(std::pair(type, size), std::pair(DWORD{REG_SZ}, DWORD{11}));
  BYTE small[4];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "text", nullptr, nullptr, small, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 0u);
  DWORD both = sizeof small;  // type and size in one DWORD
  EXPECT_EQ(RegQueryValueExA(key, "binary", nullptr, &both, small, &both), 0);
}

// Windows lays the values out one after another in the list's order; a
// buffer too small, or none, gets the size needed; a missing value fails
// the call.
TEST(RegistryValues, SeveralAreReadInOneCallOrNotAtAll) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\Test\\Several", key.out()), ERROR_SUCCESS);
  auto set = [&](const char* name, DWORD type, const char* data, DWORD size) {
    return RegSetValueExA(key, name, 0, type,
                          reinterpret_cast<const BYTE*>(data), size);
  };
  ASSERT_EQ(set("A", REG_SZ, "one", 4) + set("B", REG_DWORD, "\7\0\0\0", 4) +
                set("C", REG_BINARY, "xyz", 3),
            0);
  VALENTA list[3] = {};
  list[0].ve_valuename = const_cast<LPSTR>("a");
  list[1].ve_valuename = const_cast<LPSTR>("C");
  list[2].ve_valuename = const_cast<LPSTR>("B");
  char buffer[16] = {};
  DWORD total = 0;
  EXPECT_EQ(RegQueryMultipleValuesA(key, list, 3, nullptr, &total),
            ERROR_MORE_DATA);
  EXPECT_EQ(total, 11u);
  total = 5;
  EXPECT_EQ(RegQueryMultipleValuesA(key, list, 3, buffer, &total),
            ERROR_MORE_DATA);
  EXPECT_EQ(total, 11u);
  total = sizeof buffer;
  ASSERT_EQ(RegQueryMultipleValuesA(key, list, 3, buffer, &total), 0);
  EXPECT_EQ(total, 11u);
  EXPECT_EQ(std::memcmp(buffer, "one\0xyz\7\0\0\0", 11), 0);
  const DWORD types[] = {REG_SZ, REG_BINARY, REG_DWORD}, sizes[] = {4, 3, 4};
  for (int i = 0, at = 0; i < 3; at += sizes[i++]) {
    EXPECT_EQ(list[i].ve_type, types[i]) << i;
    EXPECT_EQ(list[i].ve_valuelen, sizes[i]) << i;
    EXPECT_EQ(list[i].ve_valueptr, reinterpret_cast<DWORD_PTR>(buffer + at));
  }
  list[1].ve_valuename = const_cast<LPSTR>("missing");
  total = sizeof buffer;
  EXPECT_EQ(RegQueryMultipleValuesA(key, list, 3, buffer, &total),
            ERROR_FILE_NOT_FOUND);
}

#ifndef _WIN32
// kxwin's own read of several values reads those the key has, a missing one
// taking no room, through the key's handle or by its path.
TEST(RegistryValues, ThisPortsReadPassesOverMissingValues) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\Test\\Present", key.out()), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "A", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>("one"), 4) +
                RegSetValueExA(key, "B", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>("\7\0\0\0"), 4),
            0);
  VALENTA list[3] = {};
  list[0].ve_valuename = const_cast<LPSTR>("a");
  list[1].ve_valuename = const_cast<LPSTR>("missing");
  list[2].ve_valuename = const_cast<LPSTR>("B");
  char buffer[16] = {};
  DWORD total = 0;
  for (auto [base, sub_key] :
       {std::pair<HKEY, LPCSTR>(key, nullptr),
        {HKEY_LOCAL_MACHINE, "Software\\Test\\Present"}}) {
    total = sizeof buffer;
    ASSERT_EQ(KxwinQueryPresentValues(base, sub_key, list, 3, buffer, &total),
              0);
    EXPECT_EQ(total, 8u);
    EXPECT_EQ(std::memcmp(buffer, "one\0\7\0\0\0", 8), 0);
    EXPECT_EQ(list[1].ve_valueptr, 0u);
    EXPECT_EQ(list[1].ve_valuelen, 0u);
    EXPECT_EQ(list[1].ve_type, DWORD{REG_NONE});
    EXPECT_EQ(list[2].ve_valueptr, reinterpret_cast<DWORD_PTR>(buffer + 4));
  }
  EXPECT_EQ(KxwinQueryPresentValues(HKEY_LOCAL_MACHINE, "Software\\Test\\None",
                                    list, 3, buffer, &total),
            ERROR_FILE_NOT_FOUND);
  // Nothing is read through a handle to a deleted key, nor below it.
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Test\\Present"), 0);
  EXPECT_EQ(KxwinQueryPresentValues(key, "Below", list, 3, buffer, &total),
            ERROR_KEY_DELETED);
}
#endif

TEST(RegistryNames, NamesThatDifferOnlyInCaseAreOneKeyAndOneValue) {
  Key first, second, parent, upper, lower;
  DWORD disposition = 0;
  for (auto [path, out, expected] :
       {std::tuple("Software\\Test\\zone", first.out(), REG_CREATED_NEW_KEY),
        std::tuple("SOFTWARE\\test\\ZONE", second.out(),
                   REG_OPENED_EXISTING_KEY)}) {
    ASSERT_EQ(CreateKey(path, out, KEY_ALL_ACCESS, &disposition), 0) << path;
    EXPECT_EQ(disposition, DWORD(expected)) << path;
  }
  ASSERT_EQ(SetText(first, "Colour", "red"), ERROR_SUCCESS);
  ASSERT_EQ(SetText(second, "COLOUR", "blue"), ERROR_SUCCESS);
  EXPECT_EQ(GetText(first, "colour"), "blue");
  // One value, keeping the spelling it was first written with.
  EXPECT_EQ(ValueNames(second), Names{"Colour"});
  ASSERT_EQ(OpenKey("software\\TEST", parent.out()), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(parent), Names{"zone"});
  // Letters beyond ASCII too (Ärger, ÄRGER; été, ÉTÉ) in the ANSI code
  // page: kxwin's UTF-8 or Wine's 1252.
  const std::string a = kKxwin ? "\xC3\xA4" : "\xE4",
                    A = kKxwin ? "\xC3\x84" : "\xC4",
                    e = kKxwin ? "\xC3\xA9" : "\xE9",
                    E = kKxwin ? "\xC3\x89" : "\xC9";
  ASSERT_EQ(CreateKey("Software\\Test\\" + A + "rger", upper.out()), 0);
  ASSERT_EQ(OpenKey("Software\\Test\\" + a + "RGER", lower.out()), 0);
  ASSERT_EQ(SetText(upper, (e + "t" + e).c_str(), "summer"), ERROR_SUCCESS);
  EXPECT_EQ(GetText(lower, (E + "T" + E).c_str()), "summer");
  // Wine's C runtime folds only ASCII here; Windows' uses the ANSI code
  // page by default (Microsoft's _setmbcp documentation).
  if (kKxwin) {
    EXPECT_EQ(
        _mbsicmp(reinterpret_cast<const unsigned char*>(("z" + a).c_str()),
                 reinterpret_cast<const unsigned char*>(("Z" + A).c_str())),
        0);
  }
}

TEST(RegistryEnumeration, SubkeysComeInCaseInsensitiveOrderEveryTime) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\Test\\Order", key.out()), ERROR_SUCCESS);
  for (const char* name : {"b", "A", "c", "B2", "_x", "a1"}) {
    Key child;
    ASSERT_EQ(CreateKey(name, child.out(), KEY_ALL_ACCESS, nullptr, key), 0);
  }
  // Upper-cased: '_' (0x5F) sorts after the letters. Windows documents no
  // order (Wine's is lower-cased, '_' first), only the same one every time.
  Names expected = {"A", "a1", "b", "B2", "c", "_x"};
  ASSERT_TRUE(std::ranges::is_permutation(Subkeys(key), expected));
  if (!kKxwin) expected = Subkeys(key);
  for (int round = 0; round < 2; ++round) EXPECT_EQ(Subkeys(key), expected);
  char name[16];
  for (DWORD i : {4u, 1u, 5u, 0u}) {  // random access agrees
    ASSERT_EQ(RegEnumKeyA(key, i, name, sizeof name), ERROR_SUCCESS);
    EXPECT_EQ(name, expected[i]);
  }
  EXPECT_EQ(RegEnumKeyA(key, 6, name, sizeof name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyA(key, 0, name, 1), ERROR_MORE_DATA);
}

TEST(RegistryEnumeration, ValuesComeInTheOrderFirstWritten) {
  KX_LINUX_ONLY("Windows enumerates values in no set order");
  Key key;
  ASSERT_EQ(CreateKey("Software\\Test\\ValueOrder", key.out()), ERROR_SUCCESS);
  for (const char* name : {"zeta", "Alpha", "mid"}) {
    ASSERT_EQ(SetText(key, name, "1"), ERROR_SUCCESS);
  }
  ASSERT_EQ(SetText(key, "ALPHA", "2"), ERROR_SUCCESS);  // keeps its place
  EXPECT_EQ(ValueNames(key), (Names{"zeta", "Alpha", "mid"}));
  ASSERT_EQ(RegDeleteValueA(key, "zeta"), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(key), (Names{"Alpha", "mid"}));
  EXPECT_EQ(KeyInfo(key), (std::vector<DWORD>{0, 0, 2, 5, 2}));
}

TEST(RegistryDeletion, KeyWithSubkeysNeedsTheTreeDeleteAndItsHandlesDie) {
  Key root, again, empty, child;
  ASSERT_EQ(CreateKey("Software\\Test\\Tree\\A\\B", root.out()), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Test\\Tree"),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "software\\test\\tree"), 0);
  EXPECT_EQ(OpenKey("Software\\Test\\Tree\\A", again.out()),
            ERROR_FILE_NOT_FOUND);
  // The open handle to a deleted key is refused, also after a key of the
  // same name is made again.
  EXPECT_EQ(SetText(root, "v", "x"), ERROR_KEY_DELETED);
  ASSERT_EQ(CreateKey("Software\\Test\\Tree\\A\\B", again.out()), 0);
  EXPECT_EQ(GetText(root, "v"), "<error 1018>");
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Test\\Nothing"),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(again, "missing"), ERROR_FILE_NOT_FOUND);
  // Without a subkey the tree delete empties the key itself.
  ASSERT_EQ(CreateKey("Software\\Test\\Empty", empty.out()), ERROR_SUCCESS);
  ASSERT_EQ(CreateKey("Software\\Test\\Empty\\Child", child.out()), 0);
  ASSERT_EQ(SetText(empty, "v", "x"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeA(empty, nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(Subkeys(empty).empty());
  EXPECT_TRUE(ValueNames(empty).empty());
  EXPECT_EQ(SetText(empty, "still", "here"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST(RegistryTransactions, WritesAreUnseenUntilCommitAndGoneAfterRollback) {
  if (!KxwinRegistryTransactions()) GTEST_SKIP() << "Wine has no KTM registry";
  Key plain, committed;
  ASSERT_EQ(CreateKey("Software\\Test\\Txn", plain.out()), ERROR_SUCCESS);
  for (bool commit : {false, true}) {
    Handle transaction(
        CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr));
    ASSERT_NE(transaction.get(), INVALID_HANDLE_VALUE);
    Key inside;
    ASSERT_EQ(
        RegCreateKeyTransactedA(HKEY_LOCAL_MACHINE, "Software\\Test\\Txn\\New",
                                0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                inside.out(), nullptr, transaction, nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(SetText(inside, "a", "1"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(inside, "b", "2"), ERROR_SUCCESS);
    // A failed step leaves the transaction as it was.
    EXPECT_EQ(RegDeleteKeyA(inside, "missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetText(inside, "b"), "2");  // the transaction sees its own
    EXPECT_TRUE(Subkeys(plain).empty());   // nobody else does
    ASSERT_TRUE(commit ? CommitTransaction(transaction)
                       : RollbackTransaction(transaction));
    EXPECT_EQ(SetText(inside, "c", "3"), 6701);  // TRANSACTION_NOT_ACTIVE
    EXPECT_EQ(Subkeys(plain).size(), commit ? 1u : 0u);
  }
  ASSERT_EQ(OpenKey("New", committed.out(), plain), 0);
  EXPECT_EQ(ValueNames(committed), (Names{"a", "b"}));
}

TEST(RegistryTransactions, ReadOnlyOneReadsOneSnapshotAndRefusesWrites) {
  KX_LINUX_ONLY("read-only transactions are kxwin's");
  Key plain, inside;
  ASSERT_EQ(CreateKey("Software\\Test\\Snap", plain.out()), ERROR_SUCCESS);
  ASSERT_EQ(SetText(plain, "v", "before"), ERROR_SUCCESS);
  Handle transaction(CreateTransaction(
      nullptr, nullptr, KXWIN_TRANSACTION_READ_ONLY, 0, 0, 0, nullptr));
  ASSERT_EQ(
      RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, "Software\\Test\\Snap", 0,
                            KEY_ALL_ACCESS, inside.out(), transaction, nullptr),
      ERROR_SUCCESS);
  ASSERT_EQ(SetText(plain, "v", "after"), ERROR_SUCCESS);  // not waited for
  EXPECT_EQ(GetText(inside, "v"), "before");
  EXPECT_EQ(SetText(inside, "w", "x"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CommitTransaction(transaction));
  EXPECT_EQ(GetText(plain, "v"), "after");
}

TEST(RegistryBadInput, BadNamesHandlesAndAccessAreRefused) {
  Key made, readonly, out;
  ASSERT_EQ(CreateKey("Software\\Test\\Bad", made.out()), ERROR_SUCCESS);
  ASSERT_EQ(SetText(made, "v", "x"), ERROR_SUCCESS);
  ASSERT_EQ(CreateKey("Software\\Test\\Bad", readonly.out(), KEY_READ), 0);
  Key gone;
  ASSERT_EQ(CreateKey("Software\\Test\\Gone", gone.out()), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Test\\Gone"), 0);
  Handle event(MakeEvent());  // before the close, not in the closed key's place
  HKEY closed = nullptr;
  ASSERT_EQ(CreateKey("Software\\Test\\Handles", &closed), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  const std::string longest = "Software\\" + std::string(250, 'k');  // 259
  auto text_to = [](HKEY key) { return SetText(key, "v", "x"); };
  const struct {
    const char* name;
    std::function<LSTATUS()> call;
    LSTATUS expected;
  } rows[] = {
      {"longest path", [&] { return CreateKey(longest, out.out()); }, 0},
      {"leading backslash", [&] { return CreateKey("\\Software", out.out()); },
       ERROR_BAD_PATHNAME},
      {"sign-extended HKEY_LOCAL_MACHINE",
       [&] {
         auto root =
             reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(
                 reinterpret_cast<uintptr_t>(HKEY_LOCAL_MACHINE))));
         return CreateKey("Software", out.out(), KEY_ALL_ACCESS, nullptr, root);
       },
       0},
      {"null data of a size",
       [&] { return RegSetValueExA(made, "v", 0, REG_BINARY, nullptr, 4); },
       ERROR_NOACCESS},
      {"data without a size",
       [&] {
         BYTE data[4];
         return RegQueryValueExA(made, "v", nullptr, nullptr, data, nullptr);
       },
       ERROR_INVALID_PARAMETER},
      {"closed key closed", [&] { return RegCloseKey(closed); },
       ERROR_INVALID_HANDLE},
      {"closed key", [&] { return text_to(closed); }, ERROR_INVALID_HANDLE},
      {"made-up handle",
       [&] { return text_to(reinterpret_cast<HKEY>(0x12345678)); },
       ERROR_INVALID_HANDLE},
      {"an event", [&] { return text_to(static_cast<HKEY>(event.get())); },
       ERROR_INVALID_HANDLE},
      {"create below a deleted key",
       [&] { return CreateKey("x", out.out(), KEY_ALL_ACCESS, nullptr, gone); },
       ERROR_KEY_DELETED},
      {"open below a deleted key",
       [&] { return OpenKey("x", out.out(), gone); }, ERROR_KEY_DELETED},
      {"open with a leading backslash",
       [&] { return OpenKey("\\Software", out.out()); }, ERROR_BAD_PATHNAME},
      {"create below a read-only key",
       [&] {
         return CreateKey("x", out.out(), KEY_ALL_ACCESS, nullptr, readonly);
       },
       0},
      {"delete below a read-only key, then again",
       [&] {
         RegDeleteKeyA(readonly, "x");
         return RegDeleteKeyA(readonly, "x");
       },
       ERROR_FILE_NOT_FOUND},
      {"enumerated value's name buffer short: its data, type and size told",
       [&] {
         char name[1], data[4] = "zzz";
         DWORD length = 1, type = 0, size = sizeof data;
         LSTATUS s = RegEnumValueA(made, 0, name, &length, nullptr, &type,
                                   reinterpret_cast<BYTE*>(data), &size);
         bool told = type == REG_SZ && size == 2 && length == 1;
         return told && std::string(data) == "x" ? s : -1;
       },
       ERROR_MORE_DATA},
      {"enumerated value's data buffer short: name left alone",
       [&] {
         char name[4] = "zz";
         BYTE data[1];
         DWORD length = 4, size = 1;
         LSTATUS s = RegEnumValueA(made, 0, name, &length, nullptr, nullptr,
                                   data, &size);
         return name[0] == 'z' && length == 4 && size == 2 ? s : -1;
       },
       ERROR_MORE_DATA},
      {"read-only key", [&] { return text_to(readonly); }, ERROR_ACCESS_DENIED},
      {"read-only tree delete",
       [&] { return RegDeleteTreeA(readonly, nullptr); }, ERROR_ACCESS_DENIED},
#ifndef _WIN32
      // kxwin's own limits (a path of at most 259 characters, one root);
      // Wine creates a key with a null path, which Microsoft's documentation
      // forbids, and its RegOpenKeyExA writes through a null result pointer.
      {"no result pointer", [] { return OpenKey("x", nullptr); },
       ERROR_INVALID_PARAMETER},
      {"null path",
       [&] {
         return RegCreateKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, out.out(), nullptr);
       },
       ERROR_INVALID_PARAMETER},
      {"path one too long", [&] { return CreateKey(longest + "k", out.out()); },
       ERROR_INVALID_PARAMETER},
      {"open below the longest path",
       [&] { return OpenKey(longest + "\\x", out.out()); },
       ERROR_INVALID_PARAMETER},
      {"other root", [&] { return text_to(HKEY_CURRENT_USER); },
       ERROR_INVALID_HANDLE},
#endif
  };
  for (const auto& row : rows) {
    out.reset();
    EXPECT_EQ(row.call(), row.expected) << row.name;
    EXPECT_EQ(out.get() != nullptr, row.expected == 0) << row.name;
  }
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(closed)));
}

// ---- Stores that cannot be used (kxwin's own files: Linux only): each in a
// process of its own, since a process opens its store once.
#ifndef _WIN32
#include <unistd.h>

// Opens Software\Kept in the store args[0] (made where missing); says the
// result, its value v and the result of setting v to args[1]. With a third
// argument, root gives up root first, since root may write anything.
KX_ROLE(use_store) {
  if (args.size() > 2 && geteuid() == 0 &&
      (setgid(65534) != 0 || setuid(65534) != 0)) {
    return 9;
  }
  setenv("KX_REGISTRY", args.at(0).c_str(), 1);
  Key key;
  LSTATUS opened = CreateKey("Software\\Kept", key.out());
  Say(std::to_string(opened) + " " + GetText(key, "v") + " " +
      std::to_string(SetText(key, "v", args.at(1))));
  return 0;
}

std::string StatusOf(const std::string& said) {
  return said.substr(0, said.find(' '));
}

TEST(RegistryStore, StoreThatCannotBeUsedIsRefusedAndLeftAsItWas) {
  namespace fs = std::filesystem;
  std::string corrupt = MakeTempDir("corrupt"),
              blocked = MakeTempDir("blocked");
  WriteFile(corrupt + "/registry.db", std::string(8192, 'x'));
  WriteFile(blocked + "/file", "not a directory");
  EXPECT_EQ(StatusOf(FirstLine("use_store", {corrupt, "x"})),
            std::to_string(ERROR_BADDB));
  EXPECT_EQ(ReadFile(corrupt + "/registry.db"), std::string(8192, 'x'));
  EXPECT_EQ(StatusOf(FirstLine("use_store", {blocked + "/file/registry", "x"})),
            std::to_string(ERROR_PATH_NOT_FOUND));
  // Readable by everybody, writable by nobody but root: read, never written.
  std::string dir = MakeTempDir("readonly");
  ASSERT_EQ(StatusOf(FirstLine("use_store", {dir, "kept"})), "0");
  fs::permissions(fs::path(dir).parent_path(), fs::perms(0755));
  for (const auto& entry : fs::directory_iterator(dir)) {
    fs::permissions(entry.path(), fs::perms(0444));
  }
  fs::permissions(dir, fs::perms(0555));
  EXPECT_EQ(FirstLine("use_store", {dir, "x", "as nobody"}),
            "0 kept " + std::to_string(ERROR_ACCESS_DENIED));
}

// A store of the first schema (tests/fixtures/store/registry.db: the keys
// Software\Test\MiXed with the values Zeta and alpha, and
// Software\Test\Ärger with Öl) is migrated by its first open and
// reads as before, in any case.
KX_ROLE(read_schema1_store) {
  setenv("KX_REGISTRY", args.at(0).c_str(), 1);
  Key test, mixed, umlaut;
  OpenKey("SOFTWARE\\test", test.out());
  OpenKey("mixed", mixed.out(), test);
  OpenKey("\xc3\xa4RGER", umlaut.out(), test);
  std::string seen;
  for (const auto& name : Subkeys(test)) seen += name + ",";
  for (const auto& name : ValueNames(mixed)) seen += name + ",";
  Say(seen + GetText(mixed, "ZETA") + GetText(umlaut, "\xc3\xb6L"));
  return 0;
}

TEST(RegistryStore, StoreOfTheFirstSchemaIsMigratedOnOpen) {
  std::string dir = MakeTempDir("schema1");
  std::filesystem::copy_file(
      std::filesystem::path(KX_FIXTURES) / "store" / "registry.db",
      dir + "/registry.db");
  for (int open = 0; open < 2; ++open) {  // migrating, then migrated
    Child child("read_schema1_store", {dir});
    EXPECT_EQ(child.ReadLine(), "MiXed,\xc3\x84rger,Zeta,alpha,1x") << open;
    EXPECT_EQ(child.Wait(), 0);
  }
}

// Commits checkpoint the WAL once it passes a bound, and a WAL that grew is
// cut back, while the process keeps its connection open.
TEST(RegistryStore, WalOfAProcessThatKeepsWritingStaysShort) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\Long", key.out()), ERROR_SUCCESS);
  for (int i = 0; i < 800; ++i) {
    SetText(key, std::to_string(i).c_str(), std::string(3000, 'x'));
  }
  EXPECT_LT(std::filesystem::file_size(StoreDir() + "/registry.db-wal"),
            2u * 1024 * 1024);
}
#endif
