// Mutex ownership, security attributes, lists, file moves and the name.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "kxwin_test_util.h"
#include "testing.h"
#include "zrnapi/zrnapi.h"

namespace {

constexpr char kMutexName[] = "KX.COMMON.KXENV2.ENV.TAB.MUTEX";

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

TEST(MutexOwnership, IsReentrantAndReleasedAsOften) {
  kxtest::Handle mutex(CreateMutexA(nullptr, FALSE, kMutexName));
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(GetMutexOwnership(mutex));
  for (BOOL released : {TRUE, TRUE, FALSE}) {
    EXPECT_EQ(ReleaseMutexOwnership(mutex), released);
  }
  EXPECT_STRNE(GetMsgString(), "");
  EXPECT_FALSE(GetMutexOwnership(nullptr));
}

KX_ROLE(own_and_die) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kMutexName);
  if (!GetMutexOwnership(mutex)) return 1;
  kxtest::Say("owned");
  for (;;) Sleep(1000);
}

TEST(MutexOwnership, AbandonedMutexIsTakenOverWithATraceLine) {
  std::string trace = kxtest::MakeTempDir("trace") + "/trace.log";
  setenv("KX_TRACE", trace.c_str(), 1);
  ReloadTraceSink();
  kxtest::Child owner("own_and_die");
  ASSERT_EQ(owner.ReadLine(), "owned");
  // Opened before the owner dies: Windows drops a mutex with its last handle.
  kxtest::Handle mutex(CreateMutexA(nullptr, FALSE, kMutexName));
  owner.Kill(SIGKILL);
  owner.Wait();
  EXPECT_TRUE(GetMutexOwnership(mutex));
  EXPECT_TRUE(ReleaseMutexOwnership(mutex));
  EXPECT_TRUE(kxtest::Has(kxtest::ReadFile(trace), "abandoned"));
}

TEST(SecurityAttributes, AreFreedDescriptorFirst) {
  LPSECURITY_ATTRIBUTES attributes = nullptr;
  ASSERT_TRUE(GetSecurityAttributes(&attributes));
  ASSERT_NE(attributes, nullptr);
  EXPECT_EQ(attributes->nLength, sizeof(SECURITY_ATTRIBUTES));
  kxtest::Handle mutex(CreateMutexA(attributes, FALSE, "KX.TEST.ATTRIBUTES"));
  EXPECT_NE(mutex.get(), nullptr);
  ZRNFreeMemory(attributes->lpSecurityDescriptor);
  ZRNFreeMemory(attributes);
  EXPECT_FALSE(GetSecurityAttributes(nullptr));
}

// The queue is a multi-string list of source and destination pairs.
TEST(MoveQueue, MovesEachPairAndReplacesTheDestination) {
  std::string dir = kxtest::MakeTempDir("moves");
  kxtest::WriteFile(dir + "/kxenv.tab", "table");
  kxtest::WriteFile(dir + "/kxenv.bak", "old backup");
  LPSTR list = nullptr;
  ASSERT_TRUE(MultiStrAddValue(&list, (dir + "/kxenv.tab").c_str()));
  ASSERT_TRUE(MultiStrAddValue(&list, (dir + "/kxenv.bak").c_str()));
  std::string both = dir + "/kxenv.tab" + '\0' + dir + "/kxenv.bak" + '\0';
  EXPECT_EQ(std::memcmp(list, both.c_str(), both.size() + 1), 0);
  EXPECT_FALSE(MultiStrAddValue(&list, nullptr));
  EXPECT_FALSE(MultiStrAddValue(nullptr, "x"));
  EXPECT_TRUE(ProcessMoveFilesQueue(list, 0, 0));
  EXPECT_FALSE(Exists(dir + "/kxenv.tab"));
  EXPECT_EQ(kxtest::ReadFile(dir + "/kxenv.bak"), "table");
  EXPECT_FALSE(ProcessMoveFilesQueue(list, 0, 0));  // the source is gone
  MultiStrDelList(&list);
  EXPECT_EQ(list, nullptr);
  MultiStrDelList(&list);
  MultiStrAddValue(&list, "/only/a/source");
  EXPECT_FALSE(ProcessMoveFilesQueue(list, 0, 0));
  MultiStrDelList(&list);
  EXPECT_FALSE(ProcessMoveFilesQueue(nullptr, 0, 0));
}

TEST(MyName, IsTheComputersNameAndStaysTheSame) {
  LPCSTR name = GetMyName();
  ASSERT_NE(name, nullptr);
  char expected[256];
  DWORD size = sizeof expected;
  ASSERT_TRUE(GetComputerNameA(expected, &size));
  EXPECT_STREQ(name, expected);
  EXPECT_EQ(GetMyName(), name);
}
