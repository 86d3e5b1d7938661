// The unlocked readers of the value index, and how the Memory lock keeps
// them out while it changes the index.
//
// A cache hit must not write memory that another thread reads: two threads
// that take one lock, even a shared one, pass its cache line to and fro at
// every hit, and together they get fewer hits than one alone. So each
// reading thread has a slot of its own (a cache line no other thread
// writes) and enters by raising its `inside` flag and then looking at
// `shut`; the Memory lock's outermost holder raises `shut` and then waits
// until every `inside` flag is down. Both sides write their own flag before
// they read the other's (sequentially consistent), so at least one of them
// sees the other: either the reader sees `shut` and leaves at once, to take
// the locked path, or the holder sees the reader and waits the few hundred
// nanoseconds of a lookup. A reader never waits, and the holder changes the
// index, frees records and links, or marks them stale, only while no reader
// is inside.
//
// Slots are taken at a thread's first lookup and given back when it ends.
// A thread that finds none free (more than kReaderSlots reading at once)
// takes the locked path every time.
#include <atomic>

#include "internal.h"

namespace {

constexpr int kReaderSlots = 64;

struct alignas(64) ReaderSlot {
  std::atomic<uint32_t> inside{0};
  std::atomic<uint32_t> taken{0};
};

ReaderSlot slots[kReaderSlots];
// Slots [0, slots_used) may be taken; only grows.
std::atomic<int> slots_used{0};
// Raised by the Memory lock's outermost holder; a line of its own, which
// readers only read.
alignas(64) std::atomic<uint32_t> shut{0};

constexpr int kNoSlotYet = -1;
constexpr int kNoSlotFree = -2;
// Reached on every hit: a model that needs no call to find it.
[[gnu::tls_model("initial-exec")]] thread_local int my_slot = kNoSlotYet;

// Gives the slot back when its thread ends.
struct SlotReturn {
  ~SlotReturn() {
    if (my_slot >= 0) slots[my_slot].taken.store(0, std::memory_order_release);
  }
};
thread_local SlotReturn slot_return;

int TakeSlot() {
  for (int i = 0; i < kReaderSlots; ++i) {
    uint32_t free = 0;
    if (!slots[i].taken.compare_exchange_strong(free, 1)) continue;
    int used = slots_used.load();
    while (used <= i && !slots_used.compare_exchange_weak(used, i + 1)) {
    }
    static_cast<void>(&slot_return);  // registers the return at thread end
    return my_slot = i;
  }
  return my_slot = kNoSlotFree;
}

}  // namespace

IndexReader::IndexReader() : slot_(my_slot) {
  if (slot_ == kNoSlotYet) slot_ = TakeSlot();
  if (slot_ < 0) return;
  slots[slot_].inside.store(1);
  if (shut.load()) {
    slots[slot_].inside.store(0, std::memory_order_release);
    slot_ = kNoSlotFree;
  }
}

IndexReader::~IndexReader() {
  if (slot_ >= 0) slots[slot_].inside.store(0, std::memory_order_release);
}

void ShutReadersOut() {
  AssertMemoryLockHeld();
  shut.store(1);
  constexpr int kSpins = 200;  // a lookup's length, then the processor
  for (int i = 0, used = slots_used.load(); i < used; ++i) {
    for (int spin = 0; slots[i].inside.load(); ++spin) {
      if (spin > kSpins) SwitchToThread();
    }
  }
}

void LetReadersIn() {
  AssertMemoryLockHeld();
  shut.store(0, std::memory_order_release);
}

void ForgetParentReaders() {
  for (int i = 0; i < kReaderSlots; ++i) {
    slots[i].inside.store(0);
    if (i != my_slot) slots[i].taken.store(0);
  }
  shut.store(0);
}
