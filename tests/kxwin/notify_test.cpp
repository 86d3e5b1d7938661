// Change notification and store sharing across real processes.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "kxwin/kxwin.h"
#include "kxwin_test_util.h"
#include "testing.h"

using kxtest::Child;
using kxtest::CreateKey;
using kxtest::GetText;
using kxtest::Handle;
using kxtest::Key;
using kxtest::SetText;

namespace {

// Arms a watch on `path` (created where missing).
struct Watch {
  Key key;
  Handle event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  Watch(const std::string& path, BOOL subtree,
        DWORD filter = REG_NOTIFY_CHANGE_LAST_SET) {
    EXPECT_EQ(CreateKey(path, key.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegNotifyChangeKeyValue(key, subtree, filter, event, TRUE),
              ERROR_SUCCESS);
  }
  bool Signalled() const {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
  }
};

// Runs one store operation in a helper process and waits for its end; the
// helper's call has returned by then.
void InOtherProcess(const std::vector<std::string>& operation) {
  Child child("store_op", operation);
  EXPECT_EQ(child.ReadLine(), "0");
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace

// store_op set <key> <name> <text> | delete-tree <key> | create <key>
KX_ROLE(store_op) {
  const std::string& op = args.at(0);
  LSTATUS status = ERROR_INVALID_FUNCTION;
  if (op == "set") {
    Key key;
    status = CreateKey(args.at(1), key.out());
    if (status == ERROR_SUCCESS) {
      status = SetText(key, args.at(2).c_str(), args.at(3));
    }
  } else if (op == "delete-tree") {
    status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, args.at(1).c_str());
  } else if (op == "create") {
    Key key;
    status = CreateKey(args.at(1), key.out());
  }
  kxtest::Say(std::to_string(status));
  return 0;
}

TEST(StoreSharing, ValueWrittenByOneProcessIsReadByAnother) {
  InOtherProcess({"set", "Software\\Shared", "greeting", "hello there"});
  Key key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\shared", 0, KEY_READ,
                          key.out()),
            ERROR_SUCCESS);
  EXPECT_EQ(GetText(key, "GREETING"), "hello there");
}

TEST(Notification, SubtreeWatchFiresBeforeTheWritersCallReturns) {
  Watch watch("Software\\Watched", TRUE);
  InOtherProcess({"set", "Software\\Watched\\A\\B", "v", "1"});
  // The helper has ended, so its call has returned: the event must be set
  // already, without waiting.
  EXPECT_TRUE(watch.Signalled());
}

TEST(Notification, WatchWithoutSubtreeIgnoresWritesBelowItsKey) {
  Watch watch("Software\\Flat", FALSE);
  InOtherProcess({"set", "Software\\Flat\\Below", "v", "1"});
  EXPECT_FALSE(watch.Signalled());
  InOtherProcess({"set", "software\\FLAT", "v", "1"});
  EXPECT_TRUE(watch.Signalled());
}

TEST(Notification, WatchFiresOnceAndMustBeArmedAgain) {
  Watch watch("Software\\Once", TRUE);
  InOtherProcess({"set", "Software\\Once", "v", "1"});
  ASSERT_TRUE(watch.Signalled());
  ResetEvent(watch.event);
  InOtherProcess({"set", "Software\\Once", "v", "2"});
  EXPECT_FALSE(watch.Signalled());
  ASSERT_EQ(RegNotifyChangeKeyValue(watch.key, TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                    watch.event, TRUE),
            ERROR_SUCCESS);
  InOtherProcess({"set", "Software\\Once", "v", "3"});
  EXPECT_TRUE(watch.Signalled());
}

TEST(Notification, WritesElsewhereAndKeyCreationDoNotFireAValueWatch) {
  Watch watch("Software\\Quiet", TRUE);
  InOtherProcess({"set", "Software\\QuietNeighbour", "v", "1"});
  InOtherProcess({"create", "Software\\Quiet\\NewChild"});
  EXPECT_FALSE(watch.Signalled());
  Watch names("Software\\Named", FALSE, REG_NOTIFY_CHANGE_NAME);
  InOtherProcess({"create", "Software\\Named\\NewChild"});
  EXPECT_TRUE(names.Signalled());
}

TEST(Notification, DeletingAKeyIsANameChangeAsOnWindows) {
  Key made;
  ASSERT_EQ(CreateKey("Software\\Doomed\\Inner\\Deep", made.out()),
            ERROR_SUCCESS);
  ASSERT_EQ(SetText(made, "v", "1"), ERROR_SUCCESS);
  Watch values("Software", TRUE);
  Watch names("Software", TRUE, REG_NOTIFY_CHANGE_NAME);
  Watch inner("Software\\Doomed\\Inner\\Deep", FALSE);
  InOtherProcess({"delete-tree", "Software\\Doomed"});
  EXPECT_FALSE(values.Signalled());
  EXPECT_TRUE(names.Signalled());
  EXPECT_TRUE(inner.Signalled());
}

TEST(Notification, ClosingTheKeySignalsAndDropsTheWatch) {
  Watch watch("Software\\Closing", TRUE);
  ASSERT_EQ(RegCloseKey(watch.key.handle), ERROR_SUCCESS);
  watch.key.handle = nullptr;
  EXPECT_TRUE(watch.Signalled());
  ResetEvent(watch.event);
  InOtherProcess({"set", "Software\\Closing", "v", "1"});
  EXPECT_FALSE(watch.Signalled());
}

TEST(Notification, SynchronousWatchReturnsAfterAChange) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\Sync", key.out()), ERROR_SUCCESS);
  Child writer("delayed_set", {"Software\\Sync\\Deeper"});
  EXPECT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                    nullptr, FALSE),
            ERROR_SUCCESS);
  EXPECT_EQ(writer.Wait(), 0);
}

KX_ROLE(delayed_set) {
  Sleep(200);
  Key key;
  if (CreateKey(args.at(0), key.out()) != ERROR_SUCCESS) return 1;
  return SetText(key, "v", "x") == ERROR_SUCCESS ? 0 : 1;
}

TEST(NotificationBadInput, BadFilterOrEventIsRefused) {
  Key key;
  ASSERT_EQ(CreateKey("Software\\BadWatch", key.out()), ERROR_SUCCESS);
  Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(RegNotifyChangeKeyValue(key, TRUE, 0, event, TRUE),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                    nullptr, TRUE),
            ERROR_INVALID_HANDLE);
  Key readonly;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\BadWatch", 0,
                          KEY_QUERY_VALUE, readonly.out()),
            ERROR_SUCCESS);
  EXPECT_EQ(RegNotifyChangeKeyValue(readonly, TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                    event, TRUE),
            ERROR_ACCESS_DENIED);
}

// ---- What a killed process leaves behind is reclaimed.

KX_ROLE(hoard_events) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  int made = 0;
  while (CreateEventA(nullptr, TRUE, FALSE, nullptr)) ++made;
  Key key;
  CreateKey("Software\\Hoard", key.out());
  // Fill the board with watches, all on one event.
  int watches = 0;
  while (event &&
         RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event,
                                 TRUE) == ERROR_SUCCESS) {
    ++watches;
  }
  kxtest::Say(std::to_string(made) + " " + std::to_string(watches));
  for (;;) Sleep(1000);
}

TEST(DeadProcesses, EventSlotsAndWatchesOfAKilledProcessAreReclaimed) {
  Child hoarder("hoard_events");
  std::string counts = hoarder.ReadLine();
  int made = std::stoi(counts);
  ASSERT_GT(made, 1000) << counts;
  // The table is full now.
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
  hoarder.Kill(SIGKILL);
  hoarder.Wait();
  std::vector<HANDLE> events;
  for (int i = 0; i < made; ++i) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr) << i;
    events.push_back(event);
  }
  Key key;
  ASSERT_EQ(CreateKey("Software\\Hoard", key.out()), ERROR_SUCCESS);
  ASSERT_EQ(CloseHandle(events.back()), TRUE);
  events.pop_back();
  Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET,
                                    event, TRUE),
            ERROR_SUCCESS);
  for (HANDLE e : events) CloseHandle(e);
}

// Enumeration by index with a fresh handle per position, as callers walk a
// key, stays exact when the store changes between two positions.
TEST(StoreSharing, EnumerationByIndexSeesChangesMadeBetweenPositions) {
  for (const char* name : {"b", "c", "d", "e"}) {
    Key key;
    ASSERT_EQ(CreateKey(std::string("Software\\Walk\\") + name, key.out()),
              ERROR_SUCCESS);
  }
  auto at = [](DWORD index) {
    Key key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Walk", 0, KEY_READ,
                            key.out()),
              ERROR_SUCCESS);
    char name[16] = "";
    RegEnumKeyA(key, index, name, sizeof name);
    return std::string(name);
  };
  EXPECT_EQ(at(0), "b");
  EXPECT_EQ(at(1), "c");
  InOtherProcess({"create", "Software\\Walk\\a"});  // sorts first
  EXPECT_EQ(at(2), "c");
  EXPECT_EQ(at(3), "d");
  Key made;
  ASSERT_EQ(CreateKey("Software\\Walk\\bb", made.out()), ERROR_SUCCESS);
  EXPECT_EQ(at(4), "d");  // a, b, bb, c, d: this process's own change too
}
