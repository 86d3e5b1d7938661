// The store-wide change sequence: how a cache hit knows, without any lock,
// that no write has begun since the cache was last known current.
//
// The sequence is one 64-bit word in a section that every process of the
// store maps (named beside the machine-wide mutex). Only a writer that owns
// the mutex changes it (StoreWrite): odd before its registry write, even
// after it, before it releases the mutex. A writer that dies between the
// two steps leaves it odd; the next owner of the mutex (a writer, or a
// locked lookup) settles it by adding 3, an even value that no finished
// write could have given. No one ever waits for the sequence to turn even.
//
// Each process keeps `validated`, the sequence up to which its cache is
// known current, and a hit is served without a lock only while the
// sequence equals it (CacheIsCurrent: one acquire load of the shared word,
// which only writers write). It is set in two places, both under the
// Memory lock, and set back to none under it when the watcher stops
// waiting (it woke for a change, or ended):
//  - The watcher, after arming its notification, reads the sequence
//    (`seen`), marks every record stale and, when `seen` was even, takes it.
//    Every write that the value counts finished before the read, so before
//    the marking; a record read before such a write is stale, or goes in
//    stale (CacheValue's generation test), and a write begun later changes
//    the sequence.
//  - A locked lookup (mutex owned, no change pending, watcher armed) takes
//    the sequence as it reads it under the mutex, where no writer is
//    halfway. Every write before it signalled the change event before it
//    ended; the event is clear, so the watcher has marked after it. Only
//    a write the watcher's `seen` does not explain (a dead writer that
//    committed but signalled no one, a write that failed) makes the lookup
//    mark the cache again first: `seen` itself, or the even value right
//    after an odd `seen` (the writer the watcher saw finished), is
//    explained.
// So a get that starts after a write of the library returned never hits a
// record the write made out of date, in any process: the write changed the
// sequence before it returned, and the cache is current up to the new value
// only after a marking that followed the write. A write that goes around
// the library (a registry call of its own) changes no sequence, but like
// every write it signals the watcher's change event before it returns, and
// a hit polls that event first (NoChangePending, monitor.cpp): the watcher
// sets `validated` back to none before it resets the event.
#include <atomic>

#include "internal.h"

namespace {

constexpr uint64_t kNone = ~uint64_t{0};  // odd: no sequence equals it

// The sequence up to which this process's cache is current. Set under the
// Memory lock; read without it.
alignas(64) std::atomic<uint64_t> validated{kNone};
// What the watcher's armed pass read; kNone while it does not wait. Memory
// lock.
uint64_t pass_sequence = kNone;
// How many StoreWrite holders this thread has: only the outermost steps
// the sequence, and a lookup inside one leaves this thread's odd value be.
thread_local int writing = 0;

std::atomic_ref<uint64_t> Shared(uint64_t* word) {
  return std::atomic_ref<uint64_t>(*word);
}

// Even when a writer died between its steps: the next owner of the mutex
// makes it so. Call with the mutex held and outside this thread's writes.
uint64_t Settled(uint64_t* word) {
  AssertMachineMutexHeld();
  uint64_t now = Shared(word).load();
  if (now % 2) {
    now += 3;
    Shared(word).store(now);
    SetTraceStringA(kTraceComponent,
                    "StoreWrite: a writer ended halfway; the change sequence "
                    "is %llu.\n",
                    static_cast<unsigned long long>(now));
  }
  return now;
}

}  // namespace

StoreWrite::StoreWrite() {
  uint64_t* word = g_library.sequence.load();
  if (!mutex_.owned() || writing++ > 0 || !word) return;
  Shared(word).store(Settled(word) + 1);
}

StoreWrite::~StoreWrite() {
  uint64_t* word = g_library.sequence.load();
  if (!mutex_.owned() || --writing > 0 || !word) return;
  Shared(word).store(Shared(word).load() + 1);
}

bool CacheIsCurrent() {
  uint64_t* word = g_library.sequence.load(std::memory_order_acquire);
  return word && Shared(word).load(std::memory_order_acquire) ==
                     validated.load(std::memory_order_acquire);
}

uint64_t StoreSequence() {
  uint64_t* word = g_library.sequence.load();
  return word ? Shared(word).load() : kNone;
}

void NoteMarked(uint64_t seen) {
  AssertMemoryLockHeld();
  pass_sequence = seen;
  validated.store(seen % 2 ? kNone : seen, std::memory_order_release);
}

void ForgetValidation() {
  AssertMemoryLockHeld();
  pass_sequence = kNone;
  validated.store(kNone, std::memory_order_release);
}

void Revalidate() {
  AssertMemoryLockHeld();
  uint64_t* word = g_library.sequence.load();
  if (!word || writing > 0 || pass_sequence == kNone) return;
  uint64_t now = Settled(word);
  if (now == validated.load()) return;
  bool explained =
      now == pass_sequence || (pass_sequence % 2 && now == pass_sequence + 1);
  if (!explained) CacheDirty();
  validated.store(now, std::memory_order_release);
}
