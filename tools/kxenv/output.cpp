#include "output.h"

#include <ctime>
#include <iomanip>
#include <iostream>

#include "platform/system.h"

namespace kxtool {
namespace {

constexpr int kLabelWidth = 16;
constexpr char kNone[] = "(none)";

void Field(const char* label, const std::string& text) {
  std::cout << std::left << std::setw(kLabelWidth) << label << text << '\n';
}

void Field(const char* label, const std::optional<std::string>& text) {
  Field(label, text ? *text : std::string(kNone));
}

std::string YesNo(bool flag) {
  return flag ? "yes" : "no";
}

// The first choice beside the label, the others below it.
void Choices(const std::vector<std::string>& choices) {
  if (choices.empty()) return Field("choices", std::string(kNone));
  Field("choices", choices.front());
  for (size_t i = 1; i < choices.size(); ++i) Field("", choices[i]);
}

}  // namespace

void PrintJson(const Json& json) {
  std::cout << json.dump(-1, ' ', false, Json::error_handler_t::replace)
            << '\n';
}

void PrintValueLine(const std::string& name,
                    const std::optional<std::string>& value) {
  std::cout << name << '=' << value.value_or("") << '\n';
}

void PrintRecord(const Record& record) {
  Field("name", record.name);
  Field("class", record.className);
  Field("value", record.value);
  Field("default", record.defaultValue);
  Field("local", record.localValue);
  Field("global", record.globalValue);
  Field("application", record.app);
  Field("description", record.description);
  Choices(record.choices);
  Field("choice type", record.choiceType);
  Field("data type", record.dataType);
  Field("max size", std::to_string(record.maxSize));
  Field("read-only", YesNo(record.readOnly));
  Field("sensitive", YesNo(record.sensitive));
  Field("last user", record.lastUser);
  std::string time = LocalTime(record.timeStamp);
  Field("time stamp", time.empty() ? kNone : time);
  Field("description id", std::to_string(record.descriptionId));
  Field("record level", std::to_string(record.version));
}

Json TextJson(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

Json RecordJson(const Record& record) {
  std::string time = LocalTime(record.timeStamp);
  return Json{{"version", record.version},
              {"className", record.className},
              {"name", record.name},
              {"value", TextJson(record.value)},
              {"defaultValue", TextJson(record.defaultValue)},
              {"localValue", TextJson(record.localValue)},
              {"globalValue", TextJson(record.globalValue)},
              {"app", TextJson(record.app)},
              {"description", TextJson(record.description)},
              {"choices", record.choices},
              {"choiceType", TextJson(record.choiceType)},
              {"dataType", TextJson(record.dataType)},
              {"maxSize", record.maxSize},
              {"readOnly", record.readOnly},
              {"sensitive", record.sensitive},
              {"lastUser", TextJson(record.lastUser)},
              {"timeStamp", record.timeStamp},
              {"localTime", time.empty() ? Json(nullptr) : Json(time)},
              {"descriptionId", record.descriptionId}};
}

std::string LocalTime(uint32_t seconds) {
  if (seconds == 0) return "";
  std::time_t when = seconds;
  std::tm local{};
  if (!LocalTimeOf(when, &local)) return std::to_string(seconds);
  char text[64];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &local) == 0) {
    return std::to_string(seconds);
  }
  return text;
}

std::string Because(const std::string& reason) {
  return reason.empty() ? "" : ": " + reason;
}

int Fail(const std::string& message) {
  Tell(message);
  return 1;
}

bool OutputFailed() {
  return !std::cout.flush();
}

void Tell(const std::string& message) {
  std::cout.flush();
  std::cerr << "kxenv: " << message << std::endl;
}

}  // namespace kxtool
