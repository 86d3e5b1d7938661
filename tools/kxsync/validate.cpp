// What the store can hold exactly: a name by the store's rule, spelled as
// records spell it; text without a NUL byte (the store would cut it
// there); a definition as the table loader writes one (its nine values,
// each of its registry type); an application as its Description and its
// memberships; a sensitive value as the scrambled bytes of a text and its
// terminating zero, in lower-case hex as the agent reads it.
#include "validate.h"

#include <strings.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "seccrypt.h"
#include "store_layout.h"

namespace kxsync {
namespace {

using nlohmann::json;
namespace layout = kx::layout;

// The values a definition carries, with their registry type: t a text
// (REG_SZ), n a number (REG_DWORD), l a list of texts (REG_MULTI_SZ).
struct Field {
  const char* name;
  char type;
};
constexpr Field kDefinitionFields[] = {
    {layout::kDefault, 't'},   {layout::kApp, 't'},
    {layout::kChoices, 'l'},   {layout::kChoiceType, 't'},
    {layout::kDataType, 't'},  {layout::kDescription, 'n'},
    {layout::kMaxSize, 'n'},   {layout::kReadOnly, 'n'},
    {layout::kSensitive, 'n'},
};
constexpr Field kApplicationFields[] = {{layout::kDescription, 'n'}};

constexpr const char* kPrefixes[] = {"global/", "sensitive/", "def/ENV/",
                                     "def/OPT/", "app/"};
constexpr Kind kKinds[] = {Kind::kGlobal, Kind::kSensitive,
                           Kind::kEnvDefinition, Kind::kOptDefinition,
                           Kind::kApplication};

bool HasNul(const std::string& text) {
  return text.find('\0') != std::string::npos;
}

std::string FieldFault(const Field& field, const json& value) {
  std::string name = field.name;
  switch (field.type) {
    case 't':
      if (!value.is_string()) return name + " is not a text";
      if (HasNul(value.get<std::string>())) {
        return name + " holds a NUL byte";
      }
      return "";
    case 'n':
      if (!value.is_number_unsigned() || value.get<uint64_t>() > 0xffffffffu) {
        return name + " is not a number from 0 to 4294967295";
      }
      return "";
    default:
      if (!value.is_array()) return name + " is not a list of texts";
      for (const json& item : value) {
        // An empty item would end the stored list early.
        if (!item.is_string() || item.get<std::string>().empty() ||
            HasNul(item.get<std::string>())) {
          return name + " holds an item that is not a non-empty text";
        }
      }
      return "";
  }
}

template <size_t N>
std::string ValuesFault(const json& object, const Field (&fields)[N]) {
  if (!object.is_object()) return "its values are not a JSON object";
  for (const auto& [name, value] : object.items()) {
    const Field* field = std::find_if(
        fields, fields + N, [&](const Field& f) { return name == f.name; });
    if (field == fields + N) return "it has a value " + name + " of no kind";
    std::string fault = FieldFault(*field, value);
    if (!fault.empty()) return fault;
  }
  return "";
}

std::string DefinitionFault(const std::string& value, json& object) {
  object = json::parse(value, nullptr, false);
  if (!object.is_object()) return "the definition is not a JSON object";
  if (object.empty()) return "the definition is empty";
  std::string fault = ValuesFault(object, kDefinitionFields);
  if (fault.empty() && object.contains(layout::kApp)) {
    fault = NameFault(object[layout::kApp].get<std::string>());
    if (!fault.empty()) fault = "its App: " + fault;
  }
  return fault;
}

// Memberships are sorted and listed once, as the agent reads them.
std::string MembersFault(json& names, const char* which) {
  std::string prefix = std::string("its ") + which + " list";
  if (!names.is_array()) return prefix + " is not a list of names";
  std::vector<std::string> list;
  for (const json& name : names) {
    if (!name.is_string()) return prefix + " holds something not a name";
    std::string fault = NameFault(name.get<std::string>());
    if (!fault.empty()) return prefix + ": " + fault;
    list.push_back(name.get<std::string>());
  }
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  names = list;
  return "";
}

std::string ApplicationFault(const std::string& name, const std::string& value,
                             json& object) {
  // Its membership keys lie one level below its own key.
  if (name.size() + 1 + sizeof layout::kEnvClass > layout::kMaxNameLength + 1) {
    return "the name is too long for an application's memberships";
  }
  object = json::parse(value, nullptr, false);
  if (!object.is_object() || object.size() != 3 || !object.contains("values") ||
      !object.contains(layout::kEnvClass) ||
      !object.contains(layout::kOptClass)) {
    return "an application is a JSON object of values, ENV and OPT";
  }
  std::string fault = ValuesFault(object["values"], kApplicationFields);
  if (fault.empty())
    fault = MembersFault(object[layout::kEnvClass], layout::kEnvClass);
  if (fault.empty())
    fault = MembersFault(object[layout::kOptClass], layout::kOptClass);
  return fault;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsNumber(const std::string& text, bool sign) {
  size_t start = sign && !text.empty() && text[0] == '-' ? 1 : 0;
  return text.size() > start &&
         std::all_of(text.begin() + start, text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// Compares two unsigned decimal numbers of any length.
int CompareNumbers(std::string a, std::string b) {
  a.erase(0, std::min(a.find_first_not_of('0'), a.size() - 1));
  b.erase(0, std::min(b.find_first_not_of('0'), b.size() - 1));
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b);
}

std::string TextOf(const json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>()
                                                     : "";
}

std::string ChoicesFault(const std::string& text, const json& definition) {
  std::string type = TextOf(definition, layout::kChoiceType);
  std::vector<std::string> choices;
  auto found = definition.find(layout::kChoices);
  if (found != definition.end() && found->is_array()) {
    for (const json& item : *found) {
      if (item.is_string()) choices.push_back(item.get<std::string>());
    }
  }
  if (strcasecmp(type.c_str(), "LIST") == 0 && !choices.empty()) {
    if (std::find(choices.begin(), choices.end(), text) != choices.end()) {
      return "";
    }
    std::string list;
    for (const std::string& choice : choices) {
      list += (list.empty() ? "" : "|") + choice;
    }
    return "it is not one of the LIST " + list;
  }
  // A range whose bounds are not two numbers cannot be read as one.
  if (strcasecmp(type.c_str(), "RANGE") == 0 && choices.size() == 2 &&
      IsNumber(choices[0], false) && IsNumber(choices[1], false) &&
      !(IsNumber(text, false) && CompareNumbers(choices[0], text) <= 0 &&
        CompareNumbers(text, choices[1]) <= 0)) {
    return "it is outside the RANGE " + choices[0] + "-" + choices[1];
  }
  return "";
}

}  // namespace

Kind KindOf(const std::string& key, std::string* name) {
  for (size_t i = 0; i < std::size(kPrefixes); ++i) {
    size_t length = std::char_traits<char>::length(kPrefixes[i]);
    if (key.compare(0, length, kPrefixes[i]) == 0) {
      if (name) *name = key.substr(length);
      return kKinds[i];
    }
  }
  return Kind::kOther;
}

std::string NameFault(const std::string& name) {
  if (name.empty()) return "the name is empty";
  if (name.find('\\') != std::string::npos) {
    return "the name holds a backslash, which makes it a key below another";
  }
  if (HasNul(name) || !layout::IsKeyNameText(name.c_str())) {
    return "the name holds a control character";
  }
  if (name.size() > layout::kMaxNameLength) {
    return "the name is " + std::to_string(name.size()) +
           " bytes long; the store takes at most " +
           std::to_string(layout::kMaxNameLength);
  }
  std::string folded = layout::FoldedName(name);
  if (folded != name) {
    return "the name is not spelled as records spell it (" + folded + ")";
  }
  return "";
}

std::string ItemFault(const std::string& key, const std::string& value,
                      std::string& canonical) {
  std::string name;
  Kind kind = KindOf(key, &name);
  canonical = value;
  if (kind == Kind::kOther) return "it is no item of a fleet";
  std::string fault = NameFault(name);
  if (!fault.empty()) return fault;
  json object;
  switch (kind) {
    case Kind::kGlobal:
      return HasNul(value) ? "the value holds a NUL byte, where the store "
                             "would cut it"
                           : "";
    case Kind::kSensitive:
      return ClearText(value) ? ""
                              : "the value is not the hex of scrambled text";
    case Kind::kApplication:
      fault = ApplicationFault(name, value, object);
      break;
    default:
      fault = DefinitionFault(value, object);
  }
  if (fault.empty()) canonical = object.dump();
  return fault;
}

std::optional<std::string> ClearText(const std::string& hex) {
  if (hex.size() < 2 || hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes += static_cast<char>(high << 4 | low);
  }
  // The text's own bytes, then its terminating zero, which scrambling
  // keeps; scrambled bytes are never control bytes.
  if (bytes.back() != '\0') return std::nullopt;
  bytes.pop_back();
  if (std::any_of(bytes.begin(), bytes.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20;
      })) {
    return std::nullopt;
  }
  auto variant = seccrypt::CurrentScrambleVariant();
  for (int pass = 0; pass < seccrypt::kScramblePasses; ++pass) {
    seccrypt::UnscramblePass(bytes.data(), static_cast<int>(bytes.size()),
                             variant);
  }
  if (std::any_of(bytes.begin(), bytes.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20;
      })) {
    return std::nullopt;
  }
  return bytes;
}

bool MarksSensitive(const std::string& definition) {
  json object = json::parse(definition, nullptr, false);
  if (!object.is_object()) return false;
  auto found = object.find(layout::kSensitive);
  return found != object.end() && found->is_number_unsigned() &&
         found->get<uint64_t>() != 0;
}

std::string OutsideDefinition(const std::string& text,
                              const std::string& definition) {
  json object = json::parse(definition, nullptr, false);
  if (text.empty() || !object.is_object()) return "";
  auto max = object.find(layout::kMaxSize);
  if (max != object.end() && max->is_number_unsigned() &&
      max->get<uint64_t>() > 0 && text.size() > max->get<uint64_t>()) {
    return "it is " + std::to_string(text.size()) + " bytes long; MaxSize is " +
           std::to_string(max->get<uint64_t>());
  }
  std::string type = TextOf(object, layout::kDataType);
  if (strcasecmp(type.c_str(), "NUMBER") == 0 && !IsNumber(text, true)) {
    return "it is not a NUMBER";
  }
  if (strcasecmp(type.c_str(), "FLAG") == 0 && text != "Y" && text != "N") {
    return "it is not a FLAG (Y or N)";
  }
  return ChoicesFault(text, object);
}

std::string ShownKey(const std::string& key) {
  return Printable(key.substr(0, 200));
}

std::string Printable(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string shown;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      shown += "\\x";
      shown += kDigits[c >> 4];
      shown += kDigits[c & 15];
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

}  // namespace kxsync
