#include "variables.h"

#include <cstring>

#include "kxenv/kxenv.h"
#include "store_layout.h"
#include "zrnapi/zrnapi.h"

namespace kxtool {
namespace {

// A record, or a text of one, that the library handed out: released with
// KXfreemem on every way out.
class Released {
 public:
  explicit Released(void* pointer) : pointer_(pointer) {}
  ~Released() {
    if (pointer_) KXfreemem(pointer_);
  }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;

 private:
  void* pointer_;
};

std::optional<std::string> Copy(const char* text) {
  if (!text) return std::nullopt;
  return std::string(text);
}

// The items of a multi-string: each ends in a zero byte, an empty item
// ends the list.
std::vector<std::string> Items(const char* list) {
  std::vector<std::string> items;
  for (const char* item = list; item && *item; item += std::strlen(item) + 1) {
    items.emplace_back(item);
  }
  return items;
}

Record CopyRecord(const VariableRecord& from) {
  Record to;
  to.version = static_cast<uint32_t>(from.version);
  to.className = from.className ? from.className : "";
  to.name = from.name ? from.name : "";
  to.value = Copy(from.value);
  to.defaultValue = Copy(from.defaultValue);
  to.localValue = Copy(from.localValue);
  to.globalValue = Copy(from.globalValue);
  to.app = Copy(from.app);
  to.description = Copy(from.description);
  to.choices = Items(from.choices);
  to.choiceType = Copy(from.choiceType);
  to.dataType = Copy(from.dataType);
  to.maxSize = static_cast<uint32_t>(from.maxSize);
  to.readOnly = from.readOnly != 0;
  to.sensitive = from.sensitive != 0;
  to.lastUser = Copy(from.lastUser);
  to.timeStamp = static_cast<uint32_t>(from.timeStamp);
  to.descriptionId = static_cast<uint32_t>(from.descriptionId);
  return to;
}

// True when the variable's own key holds something; its value may come
// from elsewhere too (a legacy place, the process environment).
bool KeyHolds(const Record& record) {
  return record.defaultValue || record.localValue || record.globalValue ||
         record.app || !record.choices.empty() || record.choiceType ||
         record.dataType || record.lastUser || record.timeStamp ||
         record.descriptionId || record.readOnly || record.sensitive ||
         record.maxSize;
}

// A get of a name the store does not hold still hands out a record, with
// nothing in it: that is no variable.
bool Stored(const Record& record) {
  return record.value || KeyHolds(record);
}

// A message frame of the support library of its own for a call, so that
// FailureText tells only what that call recorded.
class MessageFrame {
 public:
  MessageFrame() { PushMsgStack(); }
  ~MessageFrame() { PopMsgStack(); }
  MessageFrame(const MessageFrame&) = delete;
  MessageFrame& operator=(const MessageFrame&) = delete;
};

char* Enumerate(View view, unsigned position, const char* app,
                VariableRecord** holder) {
  switch (view) {
    case View::kApp:
      return KXenumapp(position, holder, KXENV_LEVEL_99);
    case View::kOpt:
      return KXenumopt(position, app, holder, KXENV_LEVEL_99);
    default:
      return KXenumenv(position, app, holder, KXENV_LEVEL_99);
  }
}

struct ViewNames {
  const char* label;
  const char* words;
};

constexpr ViewNames kViewNames[] = {
    {"ENV", "environment class"},
    {"LCL", "environment class (local values)"},
    {"GBL", "environment class (global values)"},
    {"OPT", "option class"},
    {"APP", "application class"},
};

// The support library's text of this thread's last failure, without the
// name of its function in front ("RestoreRegistry: ").
std::string FailureText() {
  const char* text = GetMsgString();
  std::string reason = text ? text : "";
  size_t colon = reason.find(": ");
  if (colon != std::string::npos && reason.find_first_of(" \t") > colon) {
    reason.erase(0, colon + 2);
  }
  return reason;
}

}  // namespace

const char* ViewLabel(View view) {
  return kViewNames[static_cast<int>(view)].label;
}

const char* ViewWords(View view) {
  return kViewNames[static_cast<int>(view)].words;
}

std::optional<std::string> GetValue(View view, const std::string& name) {
  char* value = nullptr;
  switch (view) {
    case View::kLocal:
      value = KXgetlocal(name.c_str());
      break;
    case View::kGlobal:
      value = KXgetglobal(name.c_str());
      break;
    case View::kOpt:
      value = KXgetopt(name.c_str());
      break;
    default:
      value = KXgetenv(name.c_str());
      break;
  }
  Released release(value);
  return Copy(value);
}

// The level-99 record of a name, stored or not.
std::optional<Record> ReadRecord(View view, const std::string& name) {
  VariableRecord* record = nullptr;
  switch (view) {
    case View::kApp:
      KXgetappex(name.c_str(), &record, KXENV_LEVEL_99);
      break;
    case View::kOpt:
      KXgetoptex(name.c_str(), &record, KXENV_LEVEL_99);
      break;
    default:
      KXgetenvex(name.c_str(), &record, KXENV_LEVEL_99);
      break;
  }
  Released release(record);
  if (!record) return std::nullopt;
  return CopyRecord(*record);
}

std::optional<Record> GetRecord(View view, const std::string& name) {
  std::optional<Record> record = ReadRecord(view, name);
  if (!record || !Stored(*record)) return std::nullopt;
  return record;
}

std::vector<Record> List(View view, const std::optional<std::string>& app) {
  std::vector<Record> records;
  const char* owner = app ? app->c_str() : nullptr;
  for (unsigned position = 0;; ++position) {
    VariableRecord* holder = nullptr;
    char* name = Enumerate(view, position, owner, &holder);
    Released release(holder);
    if (!name || !holder) break;
    records.push_back(CopyRecord(*holder));
  }
  return records;
}

int SetValue(View view, const std::string& name, const std::string& value) {
  switch (view) {
    case View::kLocal:
      return KXsetlocal(name.c_str(), value.c_str());
    case View::kGlobal:
      return KXsetglobal(name.c_str(), value.c_str());
    case View::kOpt:
      return KXsetopt(name.c_str(), value.c_str());
    default:
      return KXsetenv(name.c_str(), value.c_str());
  }
}

Outcome DeleteVariable(View view, const std::string& name) {
  MessageFrame frame;
  int result =
      view == View::kOpt ? KXdelopt(name.c_str()) : KXdelenv(name.c_str());
  std::string reason = FailureText();  // before the read below records more
  if (result != 0) return {false, reason};
  std::optional<Record> left = ReadRecord(view, name);
  if (!left || !KeyHolds(*left)) return {true, ""};
  return {false, reason.empty() ? "it is still in the store" : reason};
}

int DeleteApplication(const std::string& name) {
  return KXdelapp(name.c_str());
}

Outcome SaveStore(const std::string& file, bool replace) {
  MessageFrame frame;
  bool done = KXsaveenv(file.c_str(), replace) == 0;
  return {done, FailureText()};  // when done, a warning
}

// The flags of KXrestoreenv and CompareRegistry.
int RestoreFlags(bool replace, bool allow_empty) {
  int flags = replace ? 1 : 0;
  if (replace && allow_empty) flags |= KXENV_RESTORE_ALLOW_EMPTY;
  return flags;
}

Outcome RestoreStore(const std::string& file, bool replace, bool allow_empty) {
  MessageFrame frame;
  if (KXrestoreenv(file.c_str(), RestoreFlags(replace, allow_empty)) == 0) {
    return {true, ""};
  }
  return {false, FailureText()};
}

Outcome CompareStore(const std::string& file, bool replace, bool allow_empty,
                     std::string* report) {
  MessageFrame frame;
  char* text = nullptr;
  if (!CompareRegistry(HKEY_LOCAL_MACHINE, kx::layout::kStoreKey, file.c_str(),
                       RestoreFlags(replace, allow_empty), &text)) {
    return {false, FailureText()};
  }
  *report = text;
  ZRNFreeMemory(text);
  return {true, ""};
}

Outcome ConvertFile(const std::string& source, const std::string& target,
                    bool replace, Format format) {
  static constexpr DWORD kVersions[] = {4, 5, REGISTRY_FORMAT_JSON};
  MessageFrame frame;
  bool done = ConvertRegistryFile(source.c_str(), target.c_str(), replace,
                                  kVersions[static_cast<int>(format)]);
  return {done, FailureText()};  // when done, a warning
}

std::string GlobalDirectory() {
  return GetValue(View::kEnv, "KXIGLBL0000").value_or("");
}

int LoadTable(const std::string& control) {
  return KXloadenvtab(control.c_str());
}

int InitTable() {
  return KXinitenvtab();
}

int LocalizeTable(const std::optional<std::string>& language,
                  const std::optional<std::string>& source,
                  const std::optional<std::string>& target) {
  auto text = [](const std::optional<std::string>& given) {
    return given ? given->c_str() : nullptr;
  };
  return KXlocalizeenvtab(text(language), text(source), text(target));
}

int ArmWatch(View view, const std::optional<std::string>& name, void* event) {
  const char* watched = name ? name->c_str() : nullptr;
  return view == View::kOpt ? KXwatchopt(watched, event, 0)
                            : KXwatchenv(watched, event, 0);
}

}  // namespace kxtool
