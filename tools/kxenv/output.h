// What the tool prints: values and records as text for people and as JSON
// for programs (one document per line), and failures on standard error.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "variables.h"

namespace kxtool {

// Keys in the order they are added, which is the order of the record.
using Json = nlohmann::ordered_json;

// One JSON document as one line of standard output. Texts that are not
// UTF-8 have their bad bytes replaced (U+FFFD), since JSON cannot carry
// them.
void PrintJson(const Json& json);
// "NAME=value"; nothing after the '=' when there is no value.
void PrintValueLine(const std::string& name,
                    const std::optional<std::string>& value);
// Every field of a record, one labelled line each.
void PrintRecord(const Record& record);

// A text, or null.
Json TextJson(const std::optional<std::string>& text);
// Every field of a record, under the names of VariableRecord's fields, and
// "localTime" for the time stamp.
Json RecordJson(const Record& record);

// A time stamp in the local time zone ("2026-12-05 18:11:27 CET"); empty
// for 0, which means none.
std::string LocalTime(uint32_t seconds);

// ": <reason>", or nothing for an empty reason.
std::string Because(const std::string& reason);
// "kxenv: <message>" on standard error; returns 1, the failure status.
int Fail(const std::string& message);
// "kxenv: <message>" on standard error, flushed.
void Tell(const std::string& message);
// Flushes standard output; true when something could not be written (a full
// disk), so that a command does not report success for output that is lost.
bool OutputFailed();

}  // namespace kxtool
