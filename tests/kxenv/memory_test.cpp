// Release of records handed to callers, reuse of equal records by the
// cache, and the retired entry points.
#include <memory>
#include <tuple>

#include "kxenv_test_util.h"

using namespace kxtest;

TEST(FreeMem, AnyStringOfARecordFreesTheWholeRecordAndOnlyIt) {
  ASSERT_TRUE(
      WriteKey(EnvKey("KXT_MEM_ANY"), {Text("Default", "d"), Text("Local", "l"),
                                       Text("Global", "g"), Text("App", "a")}));
  // Which pointer of the record is handed back: the record, then each string.
  for (size_t chosen = 0; chosen < 8; ++chosen) {
    SCOPED_TRACE("pointer " + std::to_string(chosen));
    VariableRecord* record = nullptr;
    ASSERT_NE(KXgetenvex("KXT_MEM_ANY", &record, 3), nullptr);
    char* local_view = KXgetlocal("KXT_MEM_ANY");  // a record of its own
    std::vector<void*> pointers = {record};
    for (char* text : {record->className, record->name, record->value,
                       record->defaultValue, record->localValue,
                       record->globalValue, record->app, record->description})
      if (text) pointers.push_back(text);
    ASSERT_EQ(pointers.size(), 8u);
    EXPECT_EQ(KXfreemem(pointers[chosen]), 0);
    for (void* other : pointers) EXPECT_EQ(KXfreemem(other), -1);
    EXPECT_EQ(KXgetlocal("KXT_MEM_ANY"), local_view);
    // The next get compares with no freed record (a sanitizer build reports
    // a use after free otherwise) and gives a whole new one.
    EXPECT_EQ(Str(KXgetenvex("KXT_MEM_ANY", &record, 3)), "l");
    EXPECT_EQ(Str(record->defaultValue) + Str(record->app), "da");
    EXPECT_EQ(KXfreemem(record), 0);
  }
}

TEST(FreeMem, PointersTheLibraryDidNotHandOutAreRefused) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_MEM_STRAY"), {Text("Local", "value")}));
  char* value = KXgetenv("KXT_MEM_STRAY");
  ASSERT_NE(value, nullptr);
  int on_stack = 0;
  auto on_heap = std::make_unique<char[]>(64);
  static const char kLiteral[] = "value";
  for (const void* stray :
       {static_cast<const void*>(nullptr), static_cast<const void*>(&on_stack),
        static_cast<const void*>(on_heap.get()),
        static_cast<const void*>(kLiteral),
        static_cast<const void*>(value + 1),      // inside
        static_cast<const void*>(value - 24)}) {  // header
    EXPECT_EQ(KXfreemem(const_cast<void*>(stray)), -1) << stray;
  }
  EXPECT_STREQ(value, "value");
  EXPECT_EQ(KXgetenv("KXT_MEM_STRAY"), value);
  EXPECT_EQ(KXfreemem(value), 0);
  EXPECT_EQ(KXfreemem(value), -1);
}

// A set marks every record stale; an equal re-read hands the old one out,
// and a changed value gives another record while the old one stays valid.
TEST(ValueCache, AnUnchangedVariableComesBackAsTheSamePointer) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_CACHE_SAME"), {Text("Local", "v")}));
  char* first = KXgetenv("KXT_CACHE_SAME");
  ASSERT_NE(first, nullptr);
  TraceFile trace;  // the name in lower case finds the record in the cache
  ASSERT_TRUE(
      GetUntilHit([] { KXgetenv("KXT_CACHE_SAME"); }, "KXT_CACHE_SAME", trace));
  EXPECT_EQ(KXgetenv("kxt_cache_same"), first);
  EXPECT_EQ(trace.CountNew(HitLine("kxt_cache_same")), 1);
  VariableRecord *a = nullptr, *b = nullptr;
  KXgetenvex("KXT_CACHE_SAME", &a, 2);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(KXsetenv("KXT_CACHE_OTHER", "x"), 0);
  ASSERT_EQ(KXsetenv("KXT_CACHE_SAME", "v"), 0);
  EXPECT_EQ(KXgetenv("KXT_CACHE_SAME"), first);
  KXgetenvex("KXT_CACHE_SAME", &b, 2);
  EXPECT_EQ(a, b);

  ASSERT_EQ(KXsetenv("KXT_CACHE_SAME", "w"), 0);
  char* changed = KXgetenv("KXT_CACHE_SAME");
  EXPECT_NE(changed, first);
  EXPECT_EQ(Str(changed) + Str(first) + Str(a->localValue), "wvv");
}

// The set in between marks the cache stale, so that the second get reads
// the store again whether or not the watcher waits by then.
TEST(ValueCache, LevelNinetyNineRecordsAreNeverReused) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_CACHE_99"), {Text("Local", "v")}));
  VariableRecord *first = nullptr, *second = nullptr;
  KXgetenvex("KXT_CACHE_99", &first, 99);
  ASSERT_EQ(KXsetenv("KXT_CACHE_OTHER", "x"), 0);
  KXgetenvex("KXT_CACHE_99", &second, 99);
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(first->version, 99u);
  EXPECT_EQ(KXfreemem(first->name), 0);
  EXPECT_EQ(Str(second->value), "v");
  EXPECT_EQ(KXfreemem(second->value), 0);
}

// The results the interface fixes for them; those with none leave the
// cache and its watcher as they were: a get is still answered from it.
TEST(RetiredEntryPoint, EachReturnsItsConstantAndDoesNothing) {
  static_assert(sizeof KxRefreshSharedMemory() == 1);
  EXPECT_EQ(std::tuple(KxenvLoadProfile(), KxenvSaveProfile(), KxenvLoadTable(),
                       KXGetEnvTableAddress(), KXreloadenv(), KXgetversion(),
                       KxRefreshSharedMemory() + 0, KxenvQueryVarValue(),
                       KxenvQueryFilename()),
            std::tuple(8, 7, 2, -1, -1, 2, 0, nullptr, nullptr));
  ASSERT_EQ(KXsetenv("KXT_RETIRED", "still here"), 0);
  TraceFile trace;
  ASSERT_TRUE(
      GetUntilHit([] { KXgetenv("KXT_RETIRED"); }, "KXT_RETIRED", trace));
  for (void (*retired)() : {KxenvDump, KxenvDumpEntry, KxenvTableInit,
                            KXsetlogging, KxenvStopChangeNotify})
    retired();
  EXPECT_EQ(Str(KXgetenv("KXT_RETIRED")), "still here");
  EXPECT_EQ(trace.CountNew(HitLine("KXT_RETIRED")), 1);
}
