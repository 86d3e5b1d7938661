// A Windows command line whose words the C runtime's parser gives back
// unchanged, for CreateProcess: the tool's `watch --exec` and the tests
// start programs with it.
#pragma once

#include <string>
#include <vector>

// One word: in quotes when it is empty or holds a blank or a quote;
// backslashes are literal except before a quote, where they are doubled,
// and a quote is escaped by one more.
inline std::string QuotedArgument(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) {
    return word;
  }
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  return quoted.append(2 * backslashes, '\\') + '"';
}

inline std::string CommandLine(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    line += QuotedArgument(word);
  }
  return line;
}
