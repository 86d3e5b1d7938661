// The line syntax of the variable table and of the control file. Both are
// parsed in place: fields are cut with NULs inside the caller's line buffer
// and handed out as pointers into it.
#include <strings.h>

#include <cstdint>
#include <cstring>

#include "table.h"

namespace {

bool KeywordIs(const char* keyword, const char* expected) {
  return strcasecmp(keyword, expected) == 0;
}

// The standard atol reading (blanks, sign, digits, stop at anything else),
// kept to 32 bits without the undefined behaviour of an overflowing atol.
int32_t ReadMaxSize(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  uint32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    value = value * 10u + static_cast<uint32_t>(*text - '0');
  return static_cast<int32_t>(negative ? 0u - value : value);
}

void CutTrailingBlanks(char* text) {
  std::size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t'))
    text[--length] = '\0';
}

bool FlagIs(const char* field, const char* expected) {
  return field && KeywordIs(field, expected);
}

// Fields after the keyword, in the order each row kind keeps them.
bool FillAppRow(char* fields[], int count, VariableRecord* record) {
  if (count < 2) return false;
  record->name = fields[0];
  record->description = fields[1];
  return true;
}

bool FillFileRow(char* fields[], int count, VariableRecord* record) {
  if (count < 5) return false;
  record->name = fields[0];         // profile section
  record->description = fields[1];  // not used
  record->app = fields[2];          // profile entry
  record->globalValue = fields[3];  // directory variable
  record->localValue = fields[4];   // profile file name
  return true;
}

bool FillVariableRow(char* fields[], int count, VariableRecord* record) {
  if (count < 8) return false;
  record->name = fields[0];
  record->app = fields[1];
  record->description = fields[2];
  record->maxSize = static_cast<uint32_t>(ReadMaxSize(fields[3]));
  record->dataType = fields[4];
  record->choiceType = fields[5];
  record->choices = fields[6];
  record->defaultValue = fields[7];
  CutTrailingBlanks(record->defaultValue);
  record->readOnly = FlagIs(count > 8 ? fields[8] : nullptr, "N") ? 1 : 0;
  record->sensitive = FlagIs(count > 9 ? fields[9] : nullptr, "Y") ? 1 : 0;
  // Every field is cut by now, so the byte behind the choices' terminator
  // (the opening quote of the next field at the latest) is free to take
  // the list's final NUL.
  SplitChoices(record->choices, record->choiceType);
  return true;
}

}  // namespace

char* NextQuotedField(char** position) {
  // UTF-8 never uses the byte of '"' inside a multi-byte character, so a
  // byte scan steps over such characters whole.
  char* open = std::strchr(*position, '"');
  if (!open) return nullptr;
  char* close = std::strchr(open + 1, '"');
  if (!close) {
    *position = open + std::strlen(open);
    return nullptr;
  }
  *close = '\0';
  *position = close + 1;
  return open + 1;
}

void SplitChoices(char* choices, const char* choice_type) {
  if (!choices || !choice_type) return;
  char delimiter = 0;
  if (KeywordIs(choice_type, "LIST")) delimiter = '|';
  if (KeywordIs(choice_type, "RANGE")) delimiter = '-';
  std::size_t length = std::strlen(choices);
  if (delimiter) {
    for (std::size_t i = 0; i < length; ++i)
      if (choices[i] == delimiter) choices[i] = '\0';
  }
  // An empty field is the empty list: its terminator is the list's end.
  if (length > 0) choices[length + 1] = '\0';
}

bool ParseTableLine(char* line, VariableRecord* record, char** keyword) {
  if (!line || !record) return false;
  if (line[0] == '*' || line[0] == '#') return false;
  constexpr int kMostFields = 10;  // after the keyword; more are ignored
  char* position = line;
  char* first = NextQuotedField(&position);
  if (!first) return false;
  char* fields[kMostFields];
  int count = 0;
  while (count < kMostFields) {
    char* field = NextQuotedField(&position);
    if (!field) break;
    fields[count++] = field;
  }
  if (keyword) *keyword = first;
  if (KeywordIs(first, "APP") || KeywordIs(first, "COMP"))
    return FillAppRow(fields, count, record);
  if (KeywordIs(first, "FILE")) return FillFileRow(fields, count, record);
  return FillVariableRow(fields, count, record);
}

bool SplitControlLine(char* line, char** key, char** value) {
  // Leading '=' and line ends come before the key; a CR of a CR LF line end
  // belongs to the line end, not to the value.
  char* start = line + std::strspn(line, "=\r\n");
  if (*start == '\0') return false;
  char* key_end = start + std::strcspn(start, "=\r\n");
  if (*key_end != '=') return false;  // no value on this line
  *key_end = '\0';
  char* rest = key_end + 1;
  rest[std::strcspn(rest, "\r\n")] = '\0';
  if (*rest == '\0') return false;
  *key = start;
  *value = rest;
  return true;
}
