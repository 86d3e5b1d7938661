// The one check of every item that crosses the agent, coming in from etcd
// or going out to it. An item passes when the store can hold it exactly as
// it stands, so that applying it and reading it back gives the same text:
// the agent never writes back a value it changed. Names follow the store's
// own rule (store_layout.h); a Global value must also lie within its
// variable's definition, as the table describes it (Choices read by
// ChoiceType, DataType, MaxSize), when the fleet validates.
#pragma once

#include <optional>
#include <string>

namespace kxsync {

enum class Kind {
  kOther,  // not an item: the fleet's marker, conflicts/, rejected/, ...
  kGlobal,
  kSensitive,
  kEnvDefinition,
  kOptDefinition,
  kApplication,
};

// The kind of an item key, and the name in it.
Kind KindOf(const std::string& key, std::string* name = nullptr);

// Why `name` cannot be one item's name, or "" when it can: the store's key
// name rule, its length limit, and the spelling records give names.
std::string NameFault(const std::string& name);

// Why the item `key` = `value` cannot be held by the store as it stands,
// or "" when it can; `canonical` then holds the value as the store gives
// it back (JSON written out in one form, memberships sorted).
std::string ItemFault(const std::string& key, const std::string& value,
                      std::string& canonical);

// The clear text of a sensitive item (the stored scrambled bytes in hex,
// their terminating zero included), or none when the bytes are not
// scrambled text.
std::optional<std::string> ClearText(const std::string& hex);

// Whether a definition (its item value) marks the variable sensitive.
bool MarksSensitive(const std::string& definition);

// Why the Global value `text` lies outside `definition` (a definition's
// item value), or "" when it is within it. An empty value is always
// within: it reads as no value.
std::string OutsideDefinition(const std::string& text,
                              const std::string& definition);

// `text` with control bytes written as \xNN, for a log line.
std::string Printable(const std::string& text);
// A key as the agent's state keeps a refused item: printable and short,
// for etcd's keys may be neither.
std::string ShownKey(const std::string& key);

}  // namespace kxsync
