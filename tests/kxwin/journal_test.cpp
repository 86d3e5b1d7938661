// The store's change journal: the entry each change leaves, one per value
// and transaction, and what the bounds keep.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "kxwin_test_util.h"
#include "testing.h"

using namespace kxtest;
using Lines = std::vector<std::string>;

namespace {

constexpr char kJournalled[] = "Software\\Journalled";
constexpr char kSkipped[] = "Stamp\0";

std::string DataText(const KXWIN_JOURNAL_DATA& data) {
  if (!data.present) return "";
  return std::string(reinterpret_cast<const char*>(data.data),
                     data.size ? data.size - 1 : 0);
}

// "KEY VALUE OLD>NEW", and a fleet change's source, for each entry after
// the id `after`, oldest first.
Lines EntriesAfter(int64_t after) {
  Lines lines;
  std::pair<Lines*, int64_t> context{&lines, after};
  KxwinReadJournal(
      nullptr,
      [](const KXWIN_JOURNAL_ENTRY* entry, void* data) -> BOOL {
        auto& [lines, after] = *static_cast<std::pair<Lines*, int64_t>*>(data);
        if (entry->id <= after) return FALSE;
        std::string line = std::string(entry->key) + " " + entry->value_name +
                           " " + DataText(entry->old_value) + ">" +
                           DataText(entry->new_value);
        if (entry->fleet) {
          line += " " + std::string(entry->fleet) + " " +
                  std::to_string(entry->revision) + " " + entry->origin;
        }
        lines->insert(lines->begin(), line);
        return TRUE;
      },
      &context);
  return lines;
}

KXWIN_JOURNAL_INFO Info() {
  KXWIN_JOURNAL_INFO info{};
  EXPECT_EQ(KxwinJournalInfo(&info), static_cast<DWORD>(ERROR_SUCCESS));
  return info;
}

void Set(const std::string& path, const char* name, const std::string& text,
         HKEY parent = HKEY_LOCAL_MACHINE) {
  Key key;
  ASSERT_EQ(CreateKey(path, key.out(), KEY_ALL_ACCESS, nullptr, parent), 0);
  ASSERT_EQ(SetText(key, name, text), 0);
}

// Runs `body` on the journalled key opened in a transaction, then commits.
void InOne(const std::function<void(HKEY)>& body) {
  Handle transaction(CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr));
  Key root;
  ASSERT_EQ(
      RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, kJournalled, 0, KEY_ALL_ACCESS,
                            root.out(), transaction, nullptr),
      0);
  body(root);
  ASSERT_TRUE(CommitTransaction(transaction));
}

std::string Under(const char* key) {
  return std::string(kJournalled) + "\\" + key;
}

KX_ROLE(set_many) {
  KxwinJournalKey(kJournalled, kSkipped);
  for (int i = 0; i < std::stoi(args.at(0)); ++i) {
    Set(Under("K"), "A", std::to_string(i));
  }
  return 0;
}

}  // namespace

TEST(Journal, EachChangedValueLeavesOneEntryAndATransactionThatPutsItBackNone) {
  KX_LINUX_ONLY("the journal is kxwin's");
  ASSERT_EQ(KxwinJournalKey(kJournalled, kSkipped), 0u);
  struct Row {
    const char* what;
    std::function<void()> change;
    Lines entries;
  };
  const Row rows[] = {
      {"a new value", [] { Set(Under("K"), "A", "1"); }, {"K A >1"}},
      {"the same again", [] { Set(Under("K"), "A", "1"); }, {}},
      {"a change", [] { Set(Under("k"), "A", "2"); }, {"K A 1>2"}},
      {"a skipped name, in any case",
       [] { Set(Under("K"), "STAMP", "x"); },
       {}},
      {"a key outside", [] { Set("Software\\Elsewhere", "A", "1"); }, {}},
      {"twice in one transaction",
       [] {
         InOne([](HKEY root) {
           Set("K", "A", "3", root);
           Set("K", "A", "4", root);
         });
       },
       {"K A 2>4"}},
      {"changed and back in one",
       [] {
         InOne([](HKEY root) {
           Set("K", "A", "5", root);
           Set("K", "A", "4", root);
         });
       },
       {}},
      {"a value deleted",
       [] {
         Key key;
         CreateKey(Under("K"), key.out());
         RegDeleteValueA(key, "A");
       },
       {"K A 4>"}},
      {"values of a new subkey",
       [] {
         InOne([](HKEY root) {
           Set("K", "C", "c", root);
           Set("K\\S", "B", "b", root);
         });
       },
       {"K C >c", "K\\S B >b"}},
      {"a tree deleted with its values",
       [] {
         Key root;
         CreateKey(kJournalled, root.out());
         RegDeleteTreeA(root, "K");
       },
       {"K C c>", "K\\S B b>"}},
      {"a fleet's change",
       [] {
         KxwinJournalSource("prod", 42, "hostb");
         Set(Under("K"), "Z", "1");
         KxwinJournalSource(nullptr, 0, nullptr);
       },
       {"K Z >1 prod 42 hostb"}},
      {"a local one again", [] { Set(Under("K"), "Z", "2"); }, {"K Z 1>2"}},
      {"deleted and written again, one value new (a restore)",
       [] {
         InOne([](HKEY root) {
           RegDeleteTreeA(root, "K");
           Set("K", "Z", "2", root);
           Set("K", "Y", "y", root);
         });
       },
       {"K Y >y"}},
  };
  for (const Row& row : rows) {
    int64_t before = Info().newest;
    row.change();
    EXPECT_EQ(EntriesAfter(before), row.entries) << row.what;
  }
}

TEST(Journal, BoundsKeepTheNewestEntriesOrTheYoungOnesWhicheverAreMore) {
  KX_LINUX_ONLY("the journal is kxwin's");
  ASSERT_EQ(KxwinJournalKey(kJournalled, kSkipped), 0u);
  for (int i = 0; i < 30; ++i) Set(Under("K"), "A", std::to_string(i));
  struct Row {
    DWORD entries, days;
    int64_t kept;
  };
  // Every entry is young: a day's bound keeps them all, the newest stays.
  for (Row row : {Row{20, 1, 30}, Row{5, 0, 5}, Row{0, 0, 1}}) {
    ASSERT_EQ(KxwinJournalBounds(row.entries, row.days), 0u);
    KXWIN_JOURNAL_INFO info = Info();
    EXPECT_EQ(info.newest - info.oldest + 1, row.kept) << row.entries;
    EXPECT_EQ(static_cast<int64_t>(EntriesAfter(0).size()), row.kept);
    EXPECT_EQ(info.keep_entries, row.entries);
    EXPECT_EQ(info.pruned, info.oldest - 1);
  }
}

TEST(Journal, WritersForgetTheOldestOnTheirOwnAndAnExitingOneDoesItsShare) {
  KX_LINUX_ONLY("the journal is kxwin's");
  ASSERT_EQ(KxwinJournalKey(kJournalled, kSkipped), 0u);
  ASSERT_EQ(KxwinJournalBounds(10, 0), 0u);
  // A writer prunes at its first commit and every 256th, a step of up to
  // 256 entries at a time; a step that its own sets keep waiting gives up,
  // so 600 sets leave at least one step's worth forgotten.
  Child many("set_many", {"600"});
  ASSERT_EQ(many.Wait(), 0);
  size_t kept = EntriesAfter(0).size();
  EXPECT_GE(kept, 10u);
  EXPECT_LE(kept, 600u - 256u);
  // A writer that exits at once after one set still does one step.
  Child one("set_many", {"1"});
  ASSERT_EQ(one.Wait(), 0);
  EXPECT_EQ(EntriesAfter(0).size(), kept + 1 > 266 ? kept + 1 - 256 : 10);
}
