// Release of records handed to callers, reuse of equal records by the
// cache, and the retired entry points.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kxenv_test_util.h"

namespace {

using kxtest::EnvKey;
using kxtest::Str;
using kxtest::Text;
using kxtest::WriteKey;

// Every pointer of a level-3 record that the library handed out.
std::vector<void*> PointersOf(VariableRecord* record) {
  std::vector<void*> pointers = {record};
  for (char* text : {record->className, record->name, record->value,
                     record->defaultValue, record->localValue,
                     record->globalValue, record->app, record->description}) {
    if (text) pointers.push_back(text);
  }
  return pointers;
}

}  // namespace

TEST(FreeMem, AnyStringOfARecordFreesTheWholeRecord) {
  ASSERT_TRUE(
      WriteKey(EnvKey("KXT_MEM_ANY"), {Text("Default", "d"), Text("Local", "l"),
                                       Text("Global", "g"), Text("App", "a")}));
  // Which pointer of the record is handed back: the record, then each string.
  for (size_t chosen = 0; chosen < 8; ++chosen) {
    SCOPED_TRACE("pointer " + std::to_string(chosen));
    VariableRecord* record = nullptr;
    ASSERT_NE(KXgetenvex("KXT_MEM_ANY", &record, 3), nullptr);
    std::vector<void*> pointers = PointersOf(record);
    ASSERT_EQ(pointers.size(), 8u);
    EXPECT_EQ(KXfreemem(pointers[chosen]), 0);
    // Every other pointer of the record is gone with it.
    for (size_t other = 0; other < pointers.size(); ++other) {
      EXPECT_EQ(KXfreemem(pointers[other]), -1) << "pointer " << other;
    }
    // The next get reads the store again and gives a whole record.
    record = nullptr;
    EXPECT_EQ(Str(KXgetenvex("KXT_MEM_ANY", &record, 3)), "l");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(Str(record->defaultValue), "d");
    EXPECT_EQ(Str(record->app), "a");
    EXPECT_EQ(KXfreemem(record), 0);
  }
}

TEST(FreeMem, AFreedRecordLeavesTheCacheForEveryLevelAndClass) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_MEM_CACHE"), {Text("Local", "l")}));
  char* short_form = KXgetenv("KXT_MEM_CACHE");
  char* local_view = KXgetlocal("KXT_MEM_CACHE");
  ASSERT_NE(short_form, nullptr);
  ASSERT_NE(local_view, nullptr);
  ASSERT_NE(short_form, local_view);  // classes keep records of their own
  EXPECT_EQ(KXfreemem(short_form), 0);
  // The local view's record is another record and stays.
  EXPECT_EQ(Str(KXgetlocal("KXT_MEM_CACHE")), "l");
  EXPECT_EQ(KXgetlocal("KXT_MEM_CACHE"), local_view);
  // A get after the release compares with no freed record (a sanitizer
  // build reports a use after free otherwise) and builds a new one.
  EXPECT_EQ(Str(KXgetenv("KXT_MEM_CACHE")), "l");
  EXPECT_EQ(KXfreemem(KXgetenv("KXT_MEM_CACHE")), 0);
  EXPECT_EQ(KXfreemem(local_view), 0);
  EXPECT_EQ(KXfreemem(local_view), -1);  // already freed
}

TEST(FreeMem, PointersTheLibraryDidNotHandOutAreRefused) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_MEM_STRAY"), {Text("Local", "value")}));
  char* value = KXgetenv("KXT_MEM_STRAY");
  ASSERT_NE(value, nullptr);

  int on_stack = 0;
  auto on_heap = std::make_unique<char[]>(64);
  static const char kLiteral[] = "value";
  EXPECT_EQ(KXfreemem(nullptr), -1);
  EXPECT_EQ(KXfreemem(&on_stack), -1);
  EXPECT_EQ(KXfreemem(on_heap.get()), -1);
  EXPECT_EQ(KXfreemem(const_cast<char*>(kLiteral)), -1);
  EXPECT_EQ(KXfreemem(value + 1), -1);   // the middle of a string
  EXPECT_EQ(KXfreemem(value - 24), -1);  // the block header in front of it

  // None of them touched the record.
  EXPECT_STREQ(value, "value");
  EXPECT_EQ(KXgetenv("KXT_MEM_STRAY"), value);
  EXPECT_EQ(KXfreemem(value), 0);
  EXPECT_EQ(KXfreemem(value), -1);
}

KX_ROLE(free_before_anything_cached) {
  int local = 0;
  auto heap = std::make_unique<int>(0);
  if (KXfreemem(&local) != -1) return 1;
  if (KXfreemem(heap.get()) != -1) return 2;
  if (KXfreemem(nullptr) != -1) return 3;
  // A short-form get that finds nothing caches nothing either.
  if (KXgetenv("KXT_MEM_NEVER_THERE") != nullptr) return 4;
  if (KXfreemem(&local) != -1) return 5;
  return 0;
}

TEST(FreeMem, BeforeAnythingWasCachedEveryPointerIsRefused) {
  kxtest::Child child("free_before_anything_cached");
  EXPECT_EQ(child.Wait(), 0);
}

TEST(ValueCache, AnUnchangedVariableComesBackAsTheSamePointer) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_CACHE_SAME"), {Text("Local", "v")}));
  char* first = KXgetenv("KXT_CACHE_SAME");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(KXgetenv("KXT_CACHE_SAME"), first);
  EXPECT_EQ(KXgetenv("kxt_cache_same"), first);

  VariableRecord* a = nullptr;
  VariableRecord* b = nullptr;
  KXgetenvex("KXT_CACHE_SAME", &a, 2);
  KXgetenvex("KXT_CACHE_SAME", &b, 2);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);

  // A set marks every record stale; an equal re-read hands the old one out.
  ASSERT_EQ(KXsetenv("KXT_CACHE_OTHER", "x"), 0);
  ASSERT_EQ(KXsetenv("KXT_CACHE_SAME", "v"), 0);
  EXPECT_EQ(KXgetenv("KXT_CACHE_SAME"), first);
  b = nullptr;
  KXgetenvex("KXT_CACHE_SAME", &b, 2);
  EXPECT_EQ(a, b);

  // A changed value gives another record; the old one stays valid.
  ASSERT_EQ(KXsetenv("KXT_CACHE_SAME", "w"), 0);
  char* changed = KXgetenv("KXT_CACHE_SAME");
  EXPECT_NE(changed, first);
  EXPECT_EQ(Str(changed), "w");
  EXPECT_STREQ(first, "v");
  EXPECT_EQ(Str(a->localValue), "v");
}

TEST(ValueCache, LevelNinetyNineRecordsAreNeverReused) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_CACHE_99"), {Text("Local", "v")}));
  VariableRecord* first = nullptr;
  VariableRecord* second = nullptr;
  KXgetenvex("KXT_CACHE_99", &first, 99);
  KXgetenvex("KXT_CACHE_99", &second, 99);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(first->version, 99u);
  EXPECT_EQ(KXfreemem(first->name), 0);
  EXPECT_EQ(Str(second->value), "v");
  EXPECT_EQ(KXfreemem(second->value), 0);
}

TEST(RetiredEntryPoint, EachReturnsItsConstantAndDoesNothing) {
  EXPECT_EQ(KXgetversion(), 2);
  EXPECT_EQ(KxenvLoadProfile(), 8);
  EXPECT_EQ(KxenvSaveProfile(), 7);
  EXPECT_EQ(KxenvLoadTable(), 2);
  EXPECT_EQ(KXGetEnvTableAddress(), -1);
  EXPECT_EQ(KXreloadenv(), -1);
  EXPECT_EQ(KxRefreshSharedMemory(), 0);
  EXPECT_EQ(KxenvQueryVarValue(), nullptr);
  EXPECT_EQ(KxenvQueryFilename(), nullptr);
  KxenvDump();
  KxenvDumpEntry();
  KxenvTableInit();
  KXsetlogging();
  KxenvStopChangeNotify();
  // Gets and sets still work afterwards.
  EXPECT_EQ(KXsetenv("KXT_RETIRED", "still here"), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_RETIRED")), "still here");
}
