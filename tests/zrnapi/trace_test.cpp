// Trace lines and their sinks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "testing.h"
#include "zrnapi/zrnapi.h"

namespace {

constexpr int kLinesPerWriter = 300;

void WriteLines(const std::string& who) {
  std::string padding(200, 'x');  // long lines make interleaving likely
  for (int i = 0; i < kLinesPerWriter; ++i) {
    SetTraceStringA("TEST", "%s line %d %s end\n", who.c_str(), i,
                    padding.c_str());
  }
}

}  // namespace

TEST(Trace, FileLinesCarryTimeProcessThreadAndComponent) {
  std::string path = kxtest::MakeTempDir("trace") + "/trace.log";
  setenv("KX_TRACE", path.c_str(), 1);
  ReloadTraceSink();
  SetTraceStringA("KXENV2", "Initialize: enter\n");
  SetTraceStringA("KXENV2", "no newline %d", 7);
  SetTraceStringA("KXENV2", nullptr);  // no line
  auto lines = kxtest::SplitLines(kxtest::ReadFile(path));
  ASSERT_EQ(lines.size(), 2u);
  std::regex shape(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+ \d+ KXENV2 Initialize: enter)");
  EXPECT_TRUE(std::regex_match(lines[0], shape)) << lines[0];
  EXPECT_TRUE(lines[1].ends_with("KXENV2 no newline 7")) << lines[1];
  // Without a sink, or with one that cannot be opened (below a file), a line
  // goes nowhere: not to the sink before either.
  unsetenv("KX_TRACE");
  ReloadTraceSink();
  SetTraceStringA("KXENV2", "lost\n");
  setenv("KX_TRACE", (path + "/x.log").c_str(), 1);
  ReloadTraceSink();
  SetTraceStringA("KXENV2", "nowhere to go\n");
  EXPECT_EQ(kxtest::SplitLines(kxtest::ReadFile(path)).size(), 2u);
}

KX_ROLE(trace_lines) {
  WriteLines(args.at(0));
  return 0;
}

TEST(Trace, LinesOfThreadsAndProcessesComeOutWhole) {
  std::string path = kxtest::MakeTempDir("trace") + "/shared.log";
  setenv("KX_TRACE", path.c_str(), 1);
  ReloadTraceSink();
  std::vector<kxtest::Child> children;
  for (const char* who : {"procA", "procB"}) {
    children.emplace_back("trace_lines", std::vector<std::string>{who});
  }
  std::vector<std::thread> threads;
  for (const char* who : {"thrA", "thrB"})
    threads.emplace_back(WriteLines, who);
  for (auto& t : threads) t.join();
  for (auto& child : children) EXPECT_EQ(child.Wait(), 0);
  auto lines = kxtest::SplitLines(kxtest::ReadFile(path));
  EXPECT_EQ(lines.size(), 4u * kLinesPerWriter);
  std::regex whole(R"(.* TEST (proc|thr)[AB] line \d+ x{200} end)");
  for (const auto& line : lines) {
    ASSERT_TRUE(std::regex_match(line, whole)) << line;
  }
}
