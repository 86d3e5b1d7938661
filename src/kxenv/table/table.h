// The variable table: the line syntax of kxenv.tab, the control index that
// selects rows, and the values carried over from profile files. Internal to
// libkxenv; the text functions also link into the tests and fuzzers.
#pragma once

#include <kxenv/kxenv.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "win32_extra.h"

// A table line is read into a buffer of this size (2,047 characters and the
// terminator); a longer line is read on as a line of its own.
inline constexpr std::size_t kTableLineSize = 2048;

// ---- line syntax ------------------------------------------------------------

// Parses one line, cutting it in place: `record` (zero-filled by the caller)
// receives pointers into the line, `keyword` the row keyword. True for a
// row; false for a comment, a line without a field, or a row without its
// mandatory fields.
bool ParseTableLine(char* line, VariableRecord* record, char** keyword);
// The next double-quoted field from `*position` (its closing quote replaced
// by a NUL, the position moved behind it), or null when none is complete.
char* NextQuotedField(char** position);
// Converts a choices field in place into a multi-string, by its choice type:
// "LIST" splits at '|', "RANGE" at '-', anything else is one item. The
// field's buffer must have room for one more NUL after its terminator.
void SplitChoices(char* choices, const char* choice_type);
// The number of the first message marker ("%s<n>", else "%S<n>") in `text`,
// or 0 when there is none or the first one found is malformed. `prefix` gets
// the bytes before the marker, `rest` the text behind its '>'; either may be
// null.
unsigned long FindMsgMarker(const char* text, std::size_t* prefix,
                            const char** rest);
// Splits a control-file line "key=value" in place: the key runs to the
// first '=' (leading '=' skipped), the value to the line end, further '='
// included; nothing is trimmed. False for a line without key or value.
bool SplitControlLine(char* line, char** key, char** value);

// ---- files of the product directory (in libkxenv) -------------------------

// The product's global directory, the value of KXIGLBL0000 (a process
// environment variable serves when the store has none), copied at once:
// any holder may free the record behind a get. Empty when there is none,
// so that no path is ever formed below the root.
std::string GlobalDirectory();
// Whether a path fits the platform's path buffers (MAX_PATH, terminator
// included). A longer path is refused, never cut.
bool FitsPath(const std::string& path);

// Opens a file as fopen does, except that a directory, which fopen opens on
// Linux (and every read of it then fails), counts as a file that cannot be
// opened, as it does on Windows. Null when it cannot be opened.
std::FILE* OpenTextFile(const std::string& path, const char* mode);

// ---- platform/files_<platform>.cpp
// Whether `path` names the file that is open as `open_file`.
bool SameFile(std::FILE* open_file, const std::string& path);
// The language code of a locale module ("de"), traced and empty when it
// names none: on Linux the extension of its file name, on Windows the
// language of its message table (a module loaded as data has no file name
// there).
std::string ModuleLanguage(HMODULE module);

// Releases a record that a get handed out (none is fine).
struct RecordHolder {
  VariableRecord* record = nullptr;
  RecordHolder() = default;
  RecordHolder(const RecordHolder&) = delete;
  RecordHolder& operator=(const RecordHolder&) = delete;
  ~RecordHolder() {
    if (record) KXfreemem(record);
  }
};

// ---- control index and variable copy (in libkxenv) --------------------------

struct VarIndex;

// Entries of the control and copied-value indexes: level-2 records of value
// memory, each string chained to its record.
//
// A new entry with version 2 and a copy of `name`; null when memory ran out.
VariableRecord* NewTableEntry(const char* name);
// Points `*field` of `entry` at a copy of `text`, freeing the copy it held;
// false, with the field as it was, when memory ran out.
bool SetEntryText(VariableRecord* entry, char** field, const char* text);
// Adds a new entry to `index`, growing it where full; when that fails the
// entry is freed and the result is false.
bool IndexTableEntry(VarIndex** index, VariableRecord* entry);

// Reads the control file into `index` (which may start empty). True when
// the file was read to its end, false when it cannot be opened or memory
// runs out; the index keeps what was added and the caller frees it in every
// case.
bool LoadControlIndex(VarIndex** index, const char* path);
// True when the control index selects the row, false to skip it.
bool ShouldLoadRow(VarIndex* index, const VariableRecord* row,
                   const char* keyword);
// Reads the value block that a FILE row names into the copied-value index,
// then moves the profile file aside. True when a block was loaded.
bool CopyProfileValues(VarIndex** index, const VariableRecord* row);
// Adds the pairs of a value block to the copied-value index: global values
// from the section "ENVGLBL", local values from any other. True when the
// block was accepted.
bool LoadCopiedValues(VarIndex** index, const char* section,
                      unsigned char* block, std::size_t size);
// Writes an application key or a variable definition for a table row.
// True when the registry write succeeded.
bool WriteVarDefinition(const VariableRecord* row, const char* keyword);
