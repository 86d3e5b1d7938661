#include "table_checks.h"

#include <cstring>
#include <memory>
#include <string>

#include "table.h"

namespace {

// A line in a heap buffer of exactly its size, so that AddressSanitizer
// sees any access past its terminator.
std::unique_ptr<char[]> ExactCopy(const std::string& text) {
  auto copy = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

bool Inside(const char* text, const char* begin, std::size_t size) {
  return !text || (text >= begin && text + std::strlen(text) < begin + size);
}

bool ChoicesInside(const char* choices, const char* begin, std::size_t size) {
  if (!choices) return true;
  const char* end = begin + size;
  for (const char* item = choices; item < end; item += std::strlen(item) + 1) {
    if (*item == '\0') return true;
    if (!Inside(item, begin, size)) return false;
  }
  return false;
}

}  // namespace

bool CheckTableLineInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.substr(0, std::min(text.find('\0'), kTableLineSize - 1));
  std::size_t length = text.size() + 1;
  auto line = ExactCopy(text);
  VariableRecord row{};
  char* keyword = nullptr;
  if (!ParseTableLine(line.get(), &row, &keyword)) return true;
  const char* begin = line.get();
  for (const char* field :
       {keyword, row.name, row.app, row.description, row.dataType,
        row.choiceType, row.defaultValue, row.localValue, row.globalValue}) {
    if (!Inside(field, begin, length)) return false;
  }
  std::size_t prefix = 0;
  const char* rest = nullptr;
  if (FindMsgMarker(row.description, &prefix, &rest) &&
      (prefix >= std::strlen(row.description) || !Inside(rest, begin, length)))
    return false;
  return ChoicesInside(row.choices, begin, length);
}

bool CheckControlFileInput(const std::uint8_t* data, std::size_t size) {
  std::string file(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  while (start < file.size()) {
    // fgets: up to and including a line end, at most one buffer's worth.
    std::size_t end = file.find('\n', start);
    end = end == std::string::npos ? file.size() : end + 1;
    end = std::min(end, start + kTableLineSize - 1);
    std::string text = file.substr(start, end - start);
    start = end;
    text = text.substr(0, text.find('\0'));
    auto line = ExactCopy(text);
    char *key = nullptr, *value = nullptr;
    if (!SplitControlLine(line.get(), &key, &value)) continue;
    std::size_t length = text.size() + 1;
    if (!Inside(key, line.get(), length) || !Inside(value, line.get(), length))
      return false;
    if (!*key || !*value || std::strchr(key, '=')) return false;
  }
  return true;
}
