// The value cache: lookups, insertion with reuse of equal records, and
// stale marking.
//
// A cached record is served only while the store change monitor waits for
// changes and reports none pending; every change of the store, in any
// process, marks every cached record stale. The locked lookup holds the
// machine-wide mutex across its check of the change event and its search,
// and a writer holds the same mutex across its write and its own stale
// marking, so a reader never serves a record that a finished write made
// out of date. The unlocked lookup serves only while the change event is
// clear and the change sequence says that no write has begun since the
// locked one, or the watcher, last found the cache current (sequence.cpp);
// it reads the index as an IndexReader, which the Memory lock's holder
// keeps out.
#include <cstring>

#include "internal.h"

namespace {

// Texts equal byte for byte; two null texts are equal.
bool SameExact(const char* a, const char* b) {
  if (a == b) return true;
  return a && b && std::strcmp(a, b) == 0;
}

// Multi-strings are equal when they hold the same elements in the same
// order and end at the same step.
bool SameMultiString(const char* a, const char* b) {
  if (a == b) return true;
  if (!a || !b) return false;
  while (*a && *b) {
    if (std::strcmp(a, b) != 0) return false;
    a += std::strlen(a) + 1;
    b += std::strlen(b) + 1;
  }
  return *a == *b;
}

bool SameClass(const VariableRecord* record, int variable_class) {
  return record->className &&
         SameName(record->className, ClassShortName(variable_class));
}

void TraceHit(const char* name, const VariableRecord* record) {
  if (!IsTraceOn()) return;  // the time of day costs more than the hit
  TimeOfDay now = CurrentTimeOfDay();
  SetTraceStringA(kTraceComponent,
                  "GetCachedValue %s: returning cache value 0x%x at %s.%d...\n",
                  name, TraceAddress(record), now.text, now.milliseconds);
}

// The first servable link of a name's chain for a class and level. Call
// with the Memory lock held, or as an IndexReader.
VariableRecord* FindCached(int variable_class, const char* name, int level) {
  for (VarLink* link = FindChain(g_value_index, name); link;
       link = link->next) {
    if (link->flags & kLinkAbsent) return nullptr;
    if (link->flags & kLinkStale) continue;
    VariableRecord* record = link->record;
    if (record->version != static_cast<uintptr_t>(level)) continue;
    if (!SameClass(record, variable_class)) continue;
    return record;
  }
  return nullptr;
}

// Marks the link of a record just added. Call with the Memory lock held.
void MarkStale(VarIndex* index, VariableRecord* record) {
  AssertMemoryLockHeld();
  VarLink** slot = GetVarIndex(index, record->name);
  for (VarLink* link = slot ? *slot : nullptr; link; link = link->next) {
    if (link->record == record) link->flags |= kLinkStale;
  }
}

// True when two records hold the same fields of a level (1 to 5).
bool CompareVarRecord(const VariableRecord* a, const VariableRecord* b,
                      int level) {
  if (level < 1 || level > 5) return false;
  bool equal = a->version == b->version &&
               SameExact(a->className, b->className) &&
               SameExact(a->name, b->name) && SameExact(a->value, b->value);
  if (equal && level >= 2) {
    equal = SameExact(a->defaultValue, b->defaultValue) &&
            SameExact(a->localValue, b->localValue) &&
            SameExact(a->globalValue, b->globalValue);
  }
  if (equal && level >= 3) {
    equal =
        SameExact(a->app, b->app) && SameExact(a->description, b->description);
  }
  if (equal && level >= 4) {
    equal = SameMultiString(a->choices, b->choices) &&
            SameExact(a->choiceType, b->choiceType) &&
            SameExact(a->dataType, b->dataType) && a->maxSize == b->maxSize &&
            a->readOnly == b->readOnly && a->sensitive == b->sensitive;
  }
  if (equal && level >= 5) {
    equal = SameExact(a->lastUser, b->lastUser) && a->timeStamp == b->timeStamp;
  }
  return equal;
}

}  // namespace

namespace {

// The unlocked lookup: true when it could answer (`*record` may still be
// null: the cache holds no servable record, and the store must be read).
// A process that traces verbosely takes the locked path, whose lines it
// writes.
bool LookUpUnlocked(int variable_class, const char* name,
                    VariableRecord** record, int level) {
  // The event first: a write signals it before it returns, and the
  // watcher lowers `validated` before it resets the event.
  if (g_library.verbose.load(std::memory_order_relaxed) || !NoChangePending() ||
      !CacheIsCurrent()) {
    return false;
  }
  IndexReader reader;
  if (!reader.entered()) return false;
  *record = FindCached(variable_class, name, level);
  return true;
}

}  // namespace

bool GetCachedValue(int variable_class, const char* name,
                    VariableRecord** record, int level) {
  *record = nullptr;
  // A reader is never told of changes: it reads the store every time.
  if (g_library.read_only.load()) return false;
  if (LookUpUnlocked(variable_class, name, record, level)) {
    if (*record) TraceHit(name, *record);
    return *record != nullptr;
  }
  if (!CheckMonitor()) return false;
  MachineMutex mutex;
  if (CheckTabChangeEvent()) {
    MemoryLock lock;
    *record = Guarded<VariableRecord*>("GetCachedValue", nullptr, [&] {
      if (!g_library.verbose && mutex.owned()) Revalidate();
      return FindCached(variable_class, name, level);
    });
    if (*record) TraceHit(name, *record);
  }
  return *record != nullptr;
}

VariableRecord* CacheValue(VariableRecord* record, bool absent,
                           uint64_t read_generation) {
  VarLink* equal = nullptr;
  {
    MemoryLock lock;
    // A marking after the read began may stand for a write the read did not
    // see: the record goes in stale (and a held equal one stays stale).
    bool stale = DirtyGeneration() != read_generation;
    VarLink** slot = GetVarIndex(g_value_index, record->name);
    for (VarLink* link = slot ? *slot : nullptr; link; link = link->next) {
      if (CompareVarRecord(link->record, record,
                           static_cast<int>(record->version))) {
        equal = link;
        break;
      }
    }
    if (equal) {
      ReleaseRecord(g_value_index, record);
      if (!stale) equal->flags &= ~kLinkStale;
      return equal->record;
    }
    if (VarIndex* index = EnsureRoom(&g_value_index)) {
      AddVarIndex(index, record, absent);
      if (stale) MarkStale(index, record);
    }
  }
  return record;
}
