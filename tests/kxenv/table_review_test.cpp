// Loading the variable table: what a load leaves behind for the rest of the
// process, and the trace it writes on the way.
#include <fstream>
#include <string>

#include "kxenv_test_util.h"

namespace {

using namespace std::chrono_literals;
using kxtest::ScopedEnv;

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A product directory with a table and a control file, named by
// KXIGLBL0000 through the process environment.
class TableReview : public ::testing::Test {
 protected:
  TableReview()
      : directory_(kxtest::MakeTempDir("global")),
        global_("KXIGLBL0000", directory_.c_str()) {}

  int Load(const std::string& rows, const std::string& directives) {
    WriteFile(directory_ + "/kxenv.tab", rows);
    std::string control = directory_ + "/kxenv.ctl";
    WriteFile(control, directives);
    return KXloadenvtab(control.c_str());
  }

  std::string directory_;
  ScopedEnv global_;
};

constexpr char kAgentGroup[] = "EnabledForProcessing=yes\nCopyGroup=AGENT\n";

std::string Row(const std::string& keyword, const std::string& name,
                const std::string& value) {
  return "\"" + keyword + "\" \"" + name +
         "\" \"AGENT\" \"%s<4>\" \"260\" \"STRING\" \"\" \"\" \"" + value +
         "\"\n";
}

TEST_F(TableReview, AfterALoadTheWatcherServesGetsFromTheCacheAgain) {
  kxtest::TraceFile trace;
  kxtest::TraceTail tail(trace.path());
  ASSERT_EQ(Load(Row("ENV", "V", "x"), kAgentGroup), 0);
  // The watcher holds back only while the rows are written; a load that
  // left it waiting would make every later get read the store.
  EXPECT_TRUE(kxtest::GetUntilHit([] { KXgetenv("V"); }, "V", tail, 5s));
}

// With a loud trace the release of the control index is visible: it comes
// before the load's last line, as the load ends with nothing left to do.
TEST_F(TableReview, LoadReleasesItsControlIndexBeforeItsLastTraceLine) {
  ScopedEnv loud("KXENV_LOUD", "1");
  kxtest::TraceFile trace;
  ASSERT_EQ(Load(Row("ENV", "V", "x"),
                 "EnabledForProcessing=yes\nCopyGroup=AGENT\nCopyVar=W\n"),
            0);
  std::string thread;
  int releases_after = 0;
  for (const kxtest::TraceLine& line : trace.Lines()) {
    if (line.component != "KXENV2") continue;
    if (line.text == "KXloadenvtab: exited successfully.") {
      thread = line.thread;
    } else if (!thread.empty() && line.thread == thread &&
               line.text.find("KXfreememEx") != std::string::npos) {
      ++releases_after;
    }
  }
  ASSERT_FALSE(thread.empty());
  EXPECT_EQ(releases_after, 0);
}

}  // namespace
