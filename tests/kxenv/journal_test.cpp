// The library's writers in the store's change journal: each leaves one
// entry per value it changed, a killed set its change with its entry or
// neither, and a sensitive value only scrambled.
#include <csignal>
#include <functional>

#include "kxenv_test_util.h"

namespace {

using namespace kxtest;
using Lines = std::vector<std::string>;

std::string DataText(const KXWIN_JOURNAL_DATA& data) {
  if (!data.present) return "~";
  std::string bytes(reinterpret_cast<const char*>(data.data), data.size);
  if (data.type == REG_DWORD && data.size == 4) {
    DWORD number;
    std::memcpy(&number, bytes.data(), 4);
    return std::to_string(number);
  }
  if (data.type == REG_BINARY) return "scrambled";
  std::replace(bytes.begin(), bytes.end(), '\0', '|');
  return bytes.substr(0, bytes.find('|'));  // a list: its first item
}

// "KEY VALUE OLD>NEW" of each entry of `key` (every key when empty) after
// the id `after`, oldest first.
Lines EntriesAfter(int64_t after, const std::string& key = "") {
  struct Context {
    Lines lines;
    int64_t after;
  } context{{}, after};
  KXWIN_JOURNAL_FILTER filter{};
  if (!key.empty()) filter.key = key.c_str();
  KxwinReadJournal(
      &filter,
      [](const KXWIN_JOURNAL_ENTRY* entry, void* data) -> BOOL {
        auto& context = *static_cast<Context*>(data);
        if (entry->id <= context.after) return FALSE;
        context.lines.insert(context.lines.begin(),
                             std::string(entry->key) + " " + entry->value_name +
                                 " " + DataText(entry->old_value) + ">" +
                                 DataText(entry->new_value));
        return TRUE;
      },
      &context);
  return context.lines;
}

int64_t Newest() {
  KXWIN_JOURNAL_INFO info{};
  KxwinJournalInfo(&info);
  return info.newest;
}

// The definition that the table below gives KXJ_T, each value from `from`
// to `to` ("~>" as it comes, ">~" as it goes).
Lines TableVariable(const std::string& arrow) {
  auto line = [&](const char* value, const char* data) {
    std::string was = arrow == "~>" ? "~" : data;
    std::string is = arrow == "~>" ? data : "~";
    return std::string("ENV\\KXJ_T ") + value + " " + was + ">" + is;
  };
  return {line("Default", "d"),       line("App", "KXJAPP"),
          line("Choices", ""),        line("ChoiceType", ""),
          line("DataType", "STRING"), line("Description", "4"),
          line("MaxSize", "260"),     line("ReadOnly", "0"),
          line("Sensitive", "0")};
}

Lines Joined(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

KX_ROLE(count_forever) {
  int count = std::atoi(ReadText(EnvKey("KXJ_COUNT"), "Local").c_str());
  Say("counting");
  for (;;) KXsetenv("KXJ_COUNT", std::to_string(++count).c_str());
}

}  // namespace

TEST(Journal, EveryWriterLeavesOneEntryPerValueItChanged) {
  KX_LINUX_ONLY("Windows keeps no journal");
  const std::string global = MakeTempDir("global");
  ScopedEnv directory("KXIGLBL0000", global.c_str());
  WriteFile(global + "/kxenv.tab",
            "\"APP\" \"KXJAPP\" \"%s<13>\"\n"
            "\"ENV\" \"KXJ_T\" \"KXJAPP\" \"%s<4>\" \"260\" \"STRING\" \"\" "
            "\"\" \"d\"\n");
  WriteFile(global + "/kxenv.ctl",
            "EnabledForProcessing=yes\nCopyGroup=KXJAPP\n");
  const std::string saved = global + "/saved.reg";
  const std::string secret = "clear-secret-4711";
  struct Row {
    const char* writer;
    std::function<void()> write;
    Lines entries;
  };
  const Row rows[] = {
      {"set", [] { KXsetenv("KXJ_A", "1"); }, {"ENV\\KXJ_A Local ~>1"}},
      {"set, the same value", [] { KXsetlocal("kxj_a", "1"); }, {}},
      {"set of the global value",
       [] { KXsetglobal("KXJ_A", "g"); },
       {"ENV\\KXJ_A Global ~>g"}},
      {"set of an option",
       [] { KXsetopt("KXJ_O", "o"); },
       {"OPT\\KXJ_O Local ~>o"}},
      {"save", [&] { KXsaveenv(saved.c_str(), 1); }, {}},
      {"table load", [&] { KXloadenvtab((global + "/kxenv.ctl").c_str()); },
       Joined({{"APP\\KXJAPP Description ~>13", "APP\\KXJAPP\\ENV KXJ_T ~>"},
               TableVariable("~>"),
               {"ENV\\KXJ_T Local ~>"}})},
      {"the same table again",
       [&] { KXloadenvtab((global + "/kxenv.ctl").c_str()); },
       {}},
      {"delete of an option",
       [] { KXdelopt("KXJ_O"); },
       {"OPT\\KXJ_O Local o>~"}},
      {"set of a sensitive variable",
       [&] {
         WriteKey(EnvKey("KXJ_S"), {Number("Sensitive", 1)});
         KXsetenv("KXJ_S", secret.c_str());
       },
       {"ENV\\KXJ_S Sensitive ~>1", "ENV\\KXJ_S Local ~>scrambled"}},
      {"restore, replacing", [&] { KXrestoreenv(saved.c_str(), 1); },
       Joined({{"OPT\\KXJ_O Local ~>o", "ENV\\KXJ_S Sensitive 1>~",
                "ENV\\KXJ_S Local scrambled>~", "APP\\KXJAPP Description 13>~",
                "APP\\KXJAPP\\ENV KXJ_T >~"},
               TableVariable(">~"),
               {"ENV\\KXJ_T Local >~"}})},
      {"table load again",
       [&] { KXloadenvtab((global + "/kxenv.ctl").c_str()); },
       Joined({{"APP\\KXJAPP Description ~>13", "APP\\KXJAPP\\ENV KXJ_T ~>"},
               TableVariable("~>"),
               {"ENV\\KXJ_T Local ~>"}})},
      {"delete of an application", [] { KXdelapp("KXJAPP"); },
       Joined({{"APP\\KXJAPP Description 13>~", "APP\\KXJAPP\\ENV KXJ_T >~"},
               TableVariable(">~"),
               {"ENV\\KXJ_T Local >~"}})},
  };
  // The order of a write's entries is no promise: compared sorted.
  for (const Row& row : rows) {
    int64_t before = Newest();
    row.write();
    Lines entries = EntriesAfter(before), expected = row.entries;
    std::sort(entries.begin(), entries.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries, expected) << row.writer;
  }
  // Neither the store nor its write-ahead log ever held the clear value.
  for (const char* file : {"/registry.db", "/registry.db-wal"}) {
    EXPECT_EQ(ReadFile(StoreDir() + file).find(secret), std::string::npos);
  }
}

// The journal's entry is written in the transaction of its change: a set
// killed at any moment leaves both or neither, so the value stored is
// always the newest entry's, and every value counted has its entry.
TEST(Journal, AKilledSetLeavesItsChangeWithItsEntryOrNeither) {
  KX_LINUX_ONLY("Windows keeps no journal");
  for (int round = 0; round < 12; ++round) {
    Child counter("count_forever");
    ASSERT_EQ(counter.ReadLine(), "counting");
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + round * 7 % 25));
    counter.Kill(SIGKILL);
    counter.Wait();
    std::string count = ReadText(EnvKey("KXJ_COUNT"), "Local");
    Lines entries = EntriesAfter(0, "ENV\\KXJ_COUNT");
    if (count == "<missing>") count = "0";  // killed before its first set
    EXPECT_EQ(entries.size(), std::stoul(count));
    if (!entries.empty()) {
      EXPECT_TRUE(entries.back().ends_with(">" + count)) << entries.back();
    }
  }
}
