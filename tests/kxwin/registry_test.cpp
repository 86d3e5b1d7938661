// The registry store in one process: values, names, enumeration, deletion,
// transactions and bad input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "kxwin/kxwin.h"
#include "kxwin_test_util.h"
#include "testing.h"

using kxtest::CreateKey;
using kxtest::GetText;
using kxtest::Key;
using kxtest::SetText;

namespace {

std::vector<std::string> Subkeys(HKEY key) {
  std::vector<std::string> names;
  char name[256];
  for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS;
       ++i) {
    names.push_back(name);
  }
  return names;
}

std::vector<std::string> ValueNames(HKEY key) {
  std::vector<std::string> names;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof name;
    if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS) {
      break;
    }
    names.push_back(name);
  }
  return names;
}

}  // namespace

TEST(RegistryValues, EveryTypeReadsBackAsWritten) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\Test\\Types", key.out()), ERROR_SUCCESS);
  const DWORD number = 0xDEADBEEF;
  const char multi[] = "one\0two\0";
  const BYTE binary[] = {0, 1, 2, 255};
  const BYTE qword[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  struct Case {
    const char* name;
    DWORD type;
    const void* data;
    DWORD size;
  } cases[] = {
      {"text", REG_SZ, "hello", 6},
      {"number", REG_DWORD, &number, 4},
      {"multi", REG_MULTI_SZ, multi, sizeof multi},
      {"binary", REG_BINARY, binary, sizeof binary},
      {"empty", REG_BINARY, nullptr, 0},
      {"other", REG_QWORD, qword, sizeof qword},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(RegSetValueExA(key, c.name, 0, c.type,
                             static_cast<const BYTE*>(c.data), c.size),
              ERROR_SUCCESS);
  }
  for (const auto& c : cases) {
    BYTE buffer[64];
    DWORD type = 0, size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, buffer, &size),
              ERROR_SUCCESS)
        << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    ASSERT_EQ(size, c.size) << c.name;
    if (c.size) {
      EXPECT_EQ(std::memcmp(buffer, c.data, c.size), 0) << c.name;
    }
  }
}

TEST(RegistryValues, SizeQueryAndShortBufferReportTheSizeNeeded) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\Test\\Sizes", key.out()), ERROR_SUCCESS);
  ASSERT_EQ(SetText(key, "v", "0123456789"), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  BYTE small[4] = {'x', 'x', 'x', 'x'};
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, small, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, small, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST(RegistryNames, NamesThatDifferOnlyInCaseAreOneKeyAndOneValue) {
  Key first, second;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\MixedCase", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, first.out(),
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\test\\mixedCASE", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, second.out(),
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  ASSERT_EQ(SetText(first, "Colour", "red"), ERROR_SUCCESS);
  ASSERT_EQ(SetText(second, "COLOUR", "blue"), ERROR_SUCCESS);
  EXPECT_EQ(GetText(first, "colour"), "blue");
  // One value, keeping the spelling it was first written with.
  EXPECT_EQ(ValueNames(second), std::vector<std::string>{"Colour"});
  Key parent;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\TEST", 0, KEY_READ,
                          parent.out()),
            ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(parent), std::vector<std::string>{"MixedCase"});
}

TEST(RegistryNames, NonAsciiLettersCompareWithoutCase) {
  Key upper, lower;
  ASSERT_EQ(CreateKey("Software\\Test\\\xC3\x84rger", upper.out()),  // Ärger
            ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\\xC3\xA4RGER", 0,
                          KEY_READ, lower.out()),
            ERROR_SUCCESS);
  ASSERT_EQ(SetText(upper, "\xC3\xA9t\xC3\xA9", "summer"), ERROR_SUCCESS);
  EXPECT_EQ(GetText(lower, "\xC3\x89T\xC3\x89"), "summer");
  EXPECT_EQ(_mbsicmp(reinterpret_cast<const unsigned char*>("\xC3\xA4x"),
                     reinterpret_cast<const unsigned char*>("\xC3\x84X")),
            0);
}

TEST(RegistryEnumeration, SubkeysComeInCaseInsensitiveOrderEveryTime) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\Test\\Order", key.out()), ERROR_SUCCESS);
  for (const char* name : {"b", "A", "c", "B2", "_x", "a1"}) {
    Key child;
    ASSERT_EQ(RegCreateKeyExA(key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              child.out(), nullptr),
              ERROR_SUCCESS);
  }
  // Upper-cased: '_' (0x5F) sorts after the letters.
  std::vector<std::string> expected = {"A", "a1", "b", "B2", "c", "_x"};
  EXPECT_EQ(Subkeys(key), expected);
  EXPECT_EQ(Subkeys(key), expected);
  // Random access agrees with the sequential walk.
  char name[16];
  for (DWORD i : {4u, 1u, 5u, 0u}) {
    ASSERT_EQ(RegEnumKeyA(key, i, name, sizeof name), ERROR_SUCCESS);
    EXPECT_EQ(name, expected[i]);
  }
  EXPECT_EQ(RegEnumKeyA(key, 6, name, sizeof name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyA(key, 0, name, 1), ERROR_MORE_DATA);
}

TEST(RegistryEnumeration, ValuesComeInTheOrderFirstWritten) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\Test\\ValueOrder", key.out()), ERROR_SUCCESS);
  for (const char* name : {"zeta", "Alpha", "mid"}) {
    ASSERT_EQ(SetText(key, name, "1"), ERROR_SUCCESS);
  }
  ASSERT_EQ(SetText(key, "ALPHA", "2"), ERROR_SUCCESS);  // keeps its place
  EXPECT_EQ(ValueNames(key),
            (std::vector<std::string>{"zeta", "Alpha", "mid"}));
  ASSERT_EQ(RegDeleteValueA(key, "zeta"), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"Alpha", "mid"}));

  DWORD subkeys = 9, values = 0, longest_name = 0, longest_data = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr,
                             nullptr, &values, &longest_name, &longest_data,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(longest_name, 5u);
  EXPECT_EQ(longest_data, 2u);
}

TEST(RegistryDeletion, KeyWithSubkeysNeedsTheTreeDelete) {
  Key root;
  ASSERT_EQ(CreateKey("Software\\Test\\Tree\\A\\B", root.out()), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Test\\Tree"),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "software\\test\\tree"),
            ERROR_SUCCESS);
  Key gone;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\Tree\\A", 0,
                          KEY_READ, gone.out()),
            ERROR_FILE_NOT_FOUND);
  // The open handle to a deleted key is refused, also after a key of the
  // same name is made again.
  EXPECT_EQ(SetText(root, "v", "x"), ERROR_KEY_DELETED);
  Key again;
  ASSERT_EQ(CreateKey("Software\\Test\\Tree\\A\\B", again.out()),
            ERROR_SUCCESS);
  EXPECT_EQ(GetText(root, "v"), "<error 1018>");
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Test\\Nothing"),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(again, "missing"), ERROR_FILE_NOT_FOUND);
}

TEST(RegistryDeletion, TreeDeleteWithoutSubkeyEmptiesTheKeyItself) {
  Key key, child;
  ASSERT_EQ(CreateKey("Software\\Test\\Empty", key.out()), ERROR_SUCCESS);
  ASSERT_EQ(CreateKey("Software\\Test\\Empty\\Child", child.out()),
            ERROR_SUCCESS);
  ASSERT_EQ(SetText(key, "v", "x"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeA(key, nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(Subkeys(key).empty());
  EXPECT_TRUE(ValueNames(key).empty());
  EXPECT_EQ(SetText(key, "still", "here"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST(RegistryTransactions, WritesAreUnseenUntilCommitAndGoneAfterRollback) {
  Key plain;
  ASSERT_EQ(CreateKey("Software\\Test\\Txn", plain.out()), ERROR_SUCCESS);
  for (bool commit : {false, true}) {
    HANDLE transaction =
        CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
    ASSERT_NE(transaction, INVALID_HANDLE_VALUE);
    Key inside;
    ASSERT_EQ(
        RegCreateKeyTransactedA(HKEY_LOCAL_MACHINE, "Software\\Test\\Txn\\New",
                                0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                inside.out(), nullptr, transaction, nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(SetText(inside, "a", "1"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(inside, "b", "2"), ERROR_SUCCESS);
    EXPECT_EQ(GetText(inside, "b"), "2");  // the transaction sees its own
    EXPECT_TRUE(Subkeys(plain).empty());   // nobody else does
    ASSERT_TRUE(commit ? CommitTransaction(transaction)
                       : RollbackTransaction(transaction));
    EXPECT_EQ(SetText(inside, "c", "3"), ERROR_TRANSACTION_NOT_ACTIVE);
    EXPECT_EQ(Subkeys(plain).size(), commit ? 1u : 0u);
    CloseHandle(transaction);
  }
  Key committed;
  ASSERT_EQ(RegOpenKeyExA(plain, "New", 0, KEY_READ, committed.out()),
            ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(committed), (std::vector<std::string>{"a", "b"}));
}

TEST(RegistryTransactions, ReadOnlyOneReadsOneSnapshotAndRefusesWrites) {
  Key plain;
  ASSERT_EQ(CreateKey("Software\\Test\\Snap", plain.out()), ERROR_SUCCESS);
  ASSERT_EQ(SetText(plain, "v", "before"), ERROR_SUCCESS);
  HANDLE transaction = CreateTransaction(
      nullptr, nullptr, KXWIN_TRANSACTION_READ_ONLY, 0, 0, 0, nullptr);
  ASSERT_NE(transaction, INVALID_HANDLE_VALUE);
  Key inside;
  ASSERT_EQ(
      RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, "Software\\Test\\Snap", 0,
                            KEY_ALL_ACCESS, inside.out(), transaction, nullptr),
      ERROR_SUCCESS);
  ASSERT_EQ(SetText(plain, "v", "after"), ERROR_SUCCESS);  // not waited for
  EXPECT_EQ(GetText(inside, "v"), "before");
  EXPECT_EQ(SetText(inside, "w", "x"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CommitTransaction(transaction));
  CloseHandle(transaction);
  EXPECT_EQ(GetText(plain, "v"), "after");
}

TEST(RegistryBadInput, NullAndOverlongNamesAreRefused) {
  Key key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "x", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, key.out(), nullptr),
            ERROR_INVALID_PARAMETER);
  std::string longest = "Software\\" + std::string(250, 'k');  // 259
  ASSERT_EQ(longest.size(), 259u);
  EXPECT_EQ(CreateKey(longest, key.out()), ERROR_SUCCESS);
  RegCloseKey(key.handle);
  key.handle = nullptr;
  EXPECT_EQ(CreateKey(longest + "k", key.out()), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (longest + "\\x").c_str(), 0,
                          KEY_READ, key.out()),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(key.handle, nullptr);
  EXPECT_EQ(RegSetValueExA(HKEY_LOCAL_MACHINE, "v", 0, REG_BINARY, nullptr, 4),
            ERROR_INVALID_PARAMETER);
}

TEST(RegistryBadInput, WrongAndClosedHandlesAreRefused) {
  HKEY key = nullptr;
  ASSERT_EQ(CreateKey("Software\\Test\\Handles", &key), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetText(key, "v", "x"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetText(HKEY_CURRENT_USER, "v", "x"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetText(reinterpret_cast<HKEY>(0x12345678), "v", "x"),
            ERROR_INVALID_HANDLE);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(SetText(static_cast<HKEY>(event), "v", "x"), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(key)));
  CloseHandle(event);
}

TEST(RegistryBadInput, ReadOnlyHandleCannotWrite) {
  Key made, readonly;
  ASSERT_EQ(CreateKey("Software\\Test\\ReadOnly", made.out()), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\ReadOnly", 0,
                          KEY_READ, readonly.out()),
            ERROR_SUCCESS);
  EXPECT_EQ(SetText(readonly, "v", "x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeA(readonly, nullptr), ERROR_ACCESS_DENIED);
}

// ---- Stores that cannot be used: each in a process of its own, since a
// process opens its store once.

KX_ROLE(use_store) {
  setenv("KX_REGISTRY", args.at(0).c_str(), 1);
  Key key;
  LSTATUS status = CreateKey("Software\\Probe", key.out());
  kxtest::Say(std::to_string(status));
  return 0;
}

TEST(RegistryStore, CorruptDatabaseIsRefusedAndLeftAsItWas) {
  std::string dir = kxtest::MakeTempDir("corrupt");
  std::string garbage(8192, 'x');
  std::ofstream(dir + "/registry.db") << garbage;
  kxtest::Child child("use_store", {dir});
  EXPECT_EQ(child.ReadLine(), std::to_string(ERROR_BADDB));
  EXPECT_EQ(child.Wait(), 0);
  std::ifstream file(dir + "/registry.db");
  std::string content((std::istreambuf_iterator<char>(file)), {});
  EXPECT_EQ(content, garbage);
}

// A store of the first schema (tests/fixtures/store/registry.db: the keys
// Software\Test\MiXed with the values Zeta and alpha, and
// Software\Test\Ärger with Öl) is migrated by its first open and
// reads as before, in any case.
KX_ROLE(read_schema1_store) {
  setenv("KX_REGISTRY", args.at(0).c_str(), 1);
  Key test, mixed, umlaut;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\test", 0, KEY_READ, test.out());
  RegOpenKeyExA(test, "mixed", 0, KEY_READ, mixed.out());
  RegOpenKeyExA(test, "\xc3\xa4RGER", 0, KEY_READ, umlaut.out());
  std::string seen;
  for (const auto& name : Subkeys(test)) seen += name + ",";
  for (const auto& name : ValueNames(mixed)) seen += name + ",";
  seen += GetText(mixed, "ZETA") + GetText(umlaut, "\xc3\xb6L");
  kxtest::Say(seen);
  return 0;
}

TEST(RegistryStore, StoreOfTheFirstSchemaIsMigratedOnOpen) {
  std::string dir = kxtest::MakeTempDir("schema1");
  std::filesystem::copy_file(
      std::filesystem::path(KX_FIXTURES) / "store" / "registry.db",
      dir + "/registry.db");
  for (int open = 0; open < 2; ++open) {  // migrating, then migrated
    kxtest::Child child("read_schema1_store", {dir});
    EXPECT_EQ(child.ReadLine(), "MiXed,\xc3\x84rger,Zeta,alpha,1x") << open;
    EXPECT_EQ(child.Wait(), 0);
  }
}

TEST(RegistryStore, DirectoryThatCannotBeMadeIsAnError) {
  std::string dir = kxtest::MakeTempDir("blocked");
  std::ofstream(dir + "/file") << "not a directory";
  kxtest::Child child("use_store", {dir + "/file/registry"});
  EXPECT_EQ(child.ReadLine(), std::to_string(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(child.Wait(), 0);
}

// Commits checkpoint the WAL once it passes a bound, and a WAL that grew is
// cut back, while the process keeps its connection open.
TEST(RegistryStore, WalOfAProcessThatKeepsWritingStaysShort) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\Long", key.out()), ERROR_SUCCESS);
  for (int i = 0; i < 800; ++i) {
    SetText(key, std::to_string(i).c_str(), std::string(3000, 'x'));
  }
  EXPECT_LT(std::filesystem::file_size(kxtest::StoreDir() + "/registry.db-wal"),
            1024u * 1024);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Long");
}

// Reads and writes a store that this process may not write: as root, the
// helper gives up root first, since root may write anything.
KX_ROLE(read_only_store) {
  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 9;
  setenv("KX_REGISTRY", args.at(0).c_str(), 1);
  Key key;
  LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kept", 0,
                                 KEY_ALL_ACCESS, key.out());
  kxtest::Say(std::to_string(opened) + " " + GetText(key, "v") + " " +
              std::to_string(SetText(key, "v", "changed")));
  return 0;
}

TEST(RegistryStore, ReadOnlyStoreIsReadButNeverWritten) {
  std::string dir = kxtest::MakeTempDir("readonly");
  {
    kxtest::Child writer("use_store", {dir});  // makes the store
    writer.Wait();
  }
  kxtest::Child setter("store_op_in", {dir, "Software\\Kept", "v", "kept"});
  ASSERT_EQ(setter.Wait(), 0);
  // Readable by everybody, writable by nobody but root.
  namespace fs = std::filesystem;
  const auto readable = fs::perms::owner_all | fs::perms::group_read |
                        fs::perms::group_exec | fs::perms::others_read |
                        fs::perms::others_exec;
  fs::permissions(fs::path(dir).parent_path(), readable);
  fs::permissions(dir, readable);
  for (const auto& entry : fs::directory_iterator(dir)) {
    fs::permissions(entry.path(), fs::perms::owner_read |
                                      fs::perms::group_read |
                                      fs::perms::others_read);
  }
  fs::permissions(dir, fs::perms::owner_write, fs::perm_options::remove);
  kxtest::Child reader("read_only_store", {dir});
  EXPECT_EQ(reader.ReadLine(), "0 kept " + std::to_string(ERROR_ACCESS_DENIED));
  EXPECT_EQ(reader.Wait(), 0);
}

KX_ROLE(store_op_in) {
  setenv("KX_REGISTRY", args.at(0).c_str(), 1);
  Key key;
  if (CreateKey(args.at(1), key.out())) return 1;
  return SetText(key, args.at(2).c_str(), args.at(3)) ? 2 : 0;
}
