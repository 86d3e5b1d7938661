// JSON save files, both ways.
//
// The file is one object: "version" 1, "key" the saved key's full name,
// and that key's "values" and "keys" (its subkeys), each subkey again an
// object with its own "values" and "keys"; empty members are left out, so
// a key with nothing in it is {}. Each value is an object with its type and
// its data, one line of the file each, so that a change shows as one line
// of a diff:
//   "Local": {"type": "REG_SZ", "data": "text"}
//   "Tags": {"type": "REG_MULTI_SZ", "data": ["a", "b"]}
//   "MaxSize": {"type": "REG_DWORD", "data": 255}
//   "Big": {"type": "REG_QWORD", "data": 1099511627776}
//   "Blob": {"type": "REG_BINARY", "hex": "00ff10"}
//   "Odd": {"type": 43981, "hex": "0102"}
// The type is the name of a standard type or any type's number. "data" is
// for what comes back byte for byte from it: a REG_SZ or REG_EXPAND_SZ that
// is UTF-8 and ends in its only zero byte; a REG_MULTI_SZ of UTF-8 items,
// none empty, each ended by a zero, with a zero after the last; a REG_DWORD
// of four bytes, a REG_QWORD of eight. Everything else, any type, keeps its
// exact bytes as "hex" (so do texts that are not UTF-8, which JSON cannot
// carry). A name that is not UTF-8 cannot be written at all: such a key
// (with its subtree) or value is left out.
//
// The reader refuses what it does not know (a member, a type name, data
// that the type cannot have) and a name that appears twice in one object,
// also in another case, since the registry would take it for the same
// name; a value of null deletes that value on a merge, as "name"=- does in
// REGEDIT4. Each refusal names the JSON path ($.keys.ENV.values.Local).
#include <algorithm>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "regedit5.h"
#include "savefile.h"

namespace zrnapi {
namespace {

using Json = nlohmann::ordered_json;

constexpr unsigned kVersion = 1;

constexpr const char* kTypeNames[] = {"REG_NONE",
                                      "REG_SZ",
                                      "REG_EXPAND_SZ",
                                      "REG_BINARY",
                                      "REG_DWORD",
                                      "REG_DWORD_BIG_ENDIAN",
                                      "REG_LINK",
                                      "REG_MULTI_SZ",
                                      "REG_RESOURCE_LIST",
                                      "REG_FULL_RESOURCE_DESCRIPTOR",
                                      "REG_RESOURCE_REQUIREMENTS_LIST",
                                      "REG_QWORD"};
constexpr DWORD kTypeCount = sizeof kTypeNames / sizeof kTypeNames[0];

bool IsText(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ;
}

// The size of a number that "data" carries for the type; 0 for none.
size_t NumberSize(DWORD type) {
  return type == REG_DWORD ? 4 : type == REG_QWORD ? 8 : 0;
}

std::string_view AsText(const std::vector<BYTE>& data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// ---- Writing ----------------------------------------------------------------

// The items of a REG_MULTI_SZ in its one form that "data" gives back; false
// for any other.
bool MultiItems(std::string_view data, std::vector<std::string_view>* items) {
  if (data.empty() || data.back() != 0) return false;
  data.remove_suffix(1);
  while (!data.empty()) {
    size_t end = data.find('\0');
    if (end == 0 || end == std::string_view::npos) return false;
    items->push_back(data.substr(0, end));
    if (!IsUtf8(items->back())) return false;
    data.remove_prefix(end + 1);
  }
  return true;
}

// The "data" of a value, or null when it keeps its bytes as "hex".
Json DataOf(const ValueEntry& value) {
  std::string_view bytes = AsText(value.data);
  if (IsText(value.type) && !bytes.empty() && bytes.back() == 0) {
    bytes.remove_suffix(1);
    if (bytes.find('\0') == std::string_view::npos && IsUtf8(bytes)) {
      return std::string(bytes);
    }
  }
  std::vector<std::string_view> items;
  if (value.type == REG_MULTI_SZ && MultiItems(bytes, &items)) {
    Json list = Json::array();
    for (std::string_view item : items) list.push_back(std::string(item));
    return list;
  }
  if (NumberSize(value.type) != 0 &&
      value.data.size() == NumberSize(value.type)) {
    uint64_t number = 0;
    for (size_t i = value.data.size(); i-- > 0;) {
      number = number << 8 | value.data[i];
    }
    return number;
  }
  return nullptr;
}

std::string Hex(const std::vector<BYTE>& data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (BYTE b : data) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A subkey of the tree being written, found by its name without regard to
// case, with its values in the same way (a file may name them twice).
struct Node {
  std::string name;
  std::vector<const ValueEntry*> values;
  std::vector<Node> children;
};

// Builds the tree of a key list below its first key.
class TreeBuilder {
 public:
  TreeBuilder(const KeyList& keys, std::vector<std::string>* left_out)
      : root_path_(keys.front().path), left_out_(left_out) {}
  Node& root() { return root_; }
  void Add(const KeyEntry& key);

 private:
  Node* Child(Node* parent, const std::string& parent_path,
              const std::string& name);
  void AddValue(Node* node, const std::string& path, const ValueEntry& value);

  std::string root_path_;
  std::vector<std::string>* left_out_;
  Node root_;
  // Each key's place among its parent's children, by its full path.
  std::map<std::string, size_t, NoCaseLess> where_;
};

Node* TreeBuilder::Child(Node* parent, const std::string& parent_path,
                         const std::string& name) {
  std::string path = parent_path + '\\' + name;
  auto found = where_.find(path);
  if (found != where_.end()) return &parent->children[found->second];
  if (!IsUtf8(name)) {
    left_out_->push_back("the key " + Shown(KeyName(path)));
    return nullptr;
  }
  where_.emplace(path, parent->children.size());
  parent->children.push_back({name, {}, {}});
  return &parent->children.back();
}

void TreeBuilder::AddValue(Node* node, const std::string& path,
                           const ValueEntry& value) {
  if (!IsUtf8(value.name)) {
    left_out_->push_back("the value \"" + Shown(value.name) + "\" of " +
                         Shown(KeyName(path)));
    return;
  }
  NoCaseLess less;
  for (const ValueEntry*& held : node->values) {
    if (!less(held->name, value.name) && !less(value.name, held->name)) {
      held = &value;  // the later one wins, as in a restore
      return;
    }
  }
  node->values.push_back(&value);
}

void TreeBuilder::Add(const KeyEntry& key) {
  if (!IsAtOrBelow(key.path, root_path_)) {
    Fail(
        "ConvertRegistryFile: the key %s is not below %s, the file's first "
        "key, as JSON needs",
        KeyName(key.path).c_str(), KeyName(root_path_).c_str());
  }
  Node* node = &root_;
  std::string path = root_path_;
  std::string_view rest = std::string_view(key.path).substr(root_path_.size());
  while (node && !rest.empty()) {
    rest.remove_prefix(1);  // the '\'
    std::string name(rest.substr(0, rest.find('\\')));
    rest.remove_prefix(name.size());
    node = Child(node, path, name);
    path += '\\' + name;
  }
  if (!node) return;  // below a key left out
  for (const ValueEntry& value : key.values) AddValue(node, key.path, value);
}

// Appends the members of a key's object at `level` levels of indent, after
// `first` (nothing before them in the object), and then the indent of the
// object's closing brace when there were any.
void AppendMembers(const Node& node, int level, bool first, std::string* out) {
  std::string indent(2 * level, ' ');
  auto open = [&](const char* name) {
    *out += (first ? "\n" : ",\n") + indent + '"' + name + "\": {";
    first = false;
  };
  if (!node.values.empty()) {
    open("values");
    for (size_t i = 0; i < node.values.size(); ++i) {
      *out += (i ? ",\n" : "\n") + indent + "  " + Dump(node.values[i]->name) +
              ": " + JsonValue(node.values[i]);
    }
    *out += '\n' + indent + '}';
  }
  if (!node.children.empty()) {
    open("keys");
    for (size_t i = 0; i < node.children.size(); ++i) {
      const Node& child = node.children[i];
      *out += (i ? ",\n" : "\n") + indent + "  " + Dump(child.name) + ": {";
      AppendMembers(child, level + 2, true, out);
      *out += '}';
    }
    *out += '\n' + indent + '}';
  }
  if (!first) *out += '\n' + std::string(2 * (level - 1), ' ');
}

// ---- Reading ----------------------------------------------------------------

// A JSON path, written as $.keys.APP["two words"].
std::string Member(const std::string& path, const std::string& name) {
  bool plain = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
  for (char c : name) {
    plain = plain && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      (c >= '0' && c <= '9') || c == '_');
  }
  return plain ? path + '.' + name : path + '[' + JsonString(name) + ']';
}

// Refuses a name that appears twice in one object while the text parses:
// the parsed document keeps only one of them.
class DuplicateCheck {
 public:
  bool operator()(int, Json::parse_event_t event, Json& parsed);
  const std::string& error() const { return error_; }

 private:
  std::vector<std::set<std::string>> seen_;
  std::vector<std::string> names_;  // the last member name of each level
  std::string error_;
};

bool DuplicateCheck::operator()(int, Json::parse_event_t event, Json& parsed) {
  if (event == Json::parse_event_t::object_start) {
    seen_.emplace_back();
    names_.emplace_back();
  } else if (event == Json::parse_event_t::object_end && !seen_.empty()) {
    seen_.pop_back();
    names_.pop_back();
  } else if (event == Json::parse_event_t::key && !seen_.empty()) {
    const std::string& name = parsed.get_ref<const std::string&>();
    if (!seen_.back().insert(name).second && error_.empty()) {
      std::string path = "$";
      for (size_t i = 0; i + 1 < names_.size(); ++i) {
        path = Member(path, names_[i]);
      }
      error_ = "at " + Member(path, name) + ": the name appears twice";
    }
    names_.back() = name;
  }
  return true;
}

// Reads a parsed JSON save file into a key list.
class Reader {
 public:
  Reader(const char* file, const std::string& target)
      : file_(file), target_(target) {}
  KeyList Run(const Json& document);

 private:
  [[noreturn]] void Error(const std::string& path, const std::string& what);
  void CheckMembers(const Json& object, const std::string& path,
                    std::initializer_list<const char*> known);
  std::string ReadRoot(const Json& document);
  void ReadKey(const Json& key, const std::string& key_path,
               const std::string& path, bool root);
  void ReadValue(const Json& value, const std::string& path, ValueEntry* entry);
  DWORD ReadType(const Json& type, const std::string& path);
  void ReadData(const Json& data, const std::string& path, ValueEntry* entry);
  void ReadHex(const Json& hex, const std::string& path, ValueEntry* entry);

  const char* file_;
  const std::string& target_;
  KeyList keys_;
};

void Reader::Error(const std::string& path, const std::string& what) {
  Fail("RestoreRegistry: %s, at %s: %s", file_, path.c_str(), what.c_str());
}

// Refuses a member the schema does not know, and a name that appears twice
// in another case.
void Reader::CheckMembers(const Json& object, const std::string& path,
                          std::initializer_list<const char*> known) {
  if (!object.is_object()) Error(path, "an object {...} is expected");
  std::set<std::string, NoCaseLess> names;
  for (const auto& [name, member] : object.items()) {
    bool ok = known.size() == 0;
    for (const char* k : known) ok = ok || name == k;
    if (!ok) Error(Member(path, name), "no such member here");
    if (!names.insert(name).second) {
      Error(Member(path, name),
            "the name appears twice (names are compared without regard to "
            "case)");
    }
  }
}

std::string Reader::ReadRoot(const Json& document) {
  if (!document.is_object()) Error("$", "an object {...} is expected");
  if (document.contains("version") && document["version"] != kVersion) {
    Error("$.version", "only version 1 is known");
  }
  if (!document.contains("key") || !document["key"].is_string()) {
    Error("$.key", "the full name of the saved key, a string, is expected");
  }
  const std::string& name = document["key"].get_ref<const std::string&>();
  std::string_view root = kRootName;
  if (name.size() < root.size() ||
      _mbsnbicmp(reinterpret_cast<const unsigned char*>(name.c_str()),
                 reinterpret_cast<const unsigned char*>(root.data()),
                 root.size()) != 0 ||
      (name.size() > root.size() && name[root.size()] != '\\')) {
    Error("$.key", "the key is not below " + std::string(root));
  }
  std::string path = CleanPath(std::string_view(name).substr(root.size()));
  if (path.empty()) Error("$.key", "the key names no key below the root");
  if (!target_.empty() && !IsAtOrBelow(path, target_)) {
    Error("$.key", "the key " + KeyName(path) + " is outside the key " +
                       KeyName(target_) + " being restored");
  }
  return path;
}

void Reader::ReadKey(const Json& key, const std::string& key_path,
                     const std::string& path, bool root) {
  if (root) {
    CheckMembers(key, path, {"version", "key", "values", "keys"});
  } else {
    CheckMembers(key, path, {"values", "keys"});
  }
  keys_.push_back({key_path, {}});
  size_t index = keys_.size() - 1;
  if (key.contains("values")) {
    std::string values_path = Member(path, "values");
    CheckMembers(key["values"], values_path, {});
    for (const auto& [name, value] : key["values"].items()) {
      ValueEntry entry;
      entry.name = name;
      ReadValue(value, Member(values_path, name), &entry);
      keys_[index].values.push_back(std::move(entry));
    }
  }
  if (!key.contains("keys")) return;
  std::string keys_path = Member(path, "keys");
  CheckMembers(key["keys"], keys_path, {});
  for (const auto& [name, child] : key["keys"].items()) {
    if (name.empty() ||
        name.find_first_of(std::string("\\\0", 2)) != std::string::npos) {
      Error(Member(keys_path, name),
            "a key name is not empty and holds no '\\' and no zero");
    }
    ReadKey(child, key_path + '\\' + name, Member(keys_path, name), false);
  }
}

void Reader::ReadValue(const Json& value, const std::string& path,
                       ValueEntry* entry) {
  if (entry->name.find('\0') != std::string::npos) {
    Error(path, "a value name holds no zero");
  }
  if (value.is_null()) {
    entry->remove = true;
    return;
  }
  CheckMembers(value, path, {"type", "data", "hex"});
  if (!value.contains("type")) Error(path, "the value has no \"type\"");
  entry->type = ReadType(value["type"], Member(path, "type"));
  if (value.contains("data") == value.contains("hex")) {
    Error(path, "a value has either \"data\" or \"hex\"");
  }
  if (value.contains("hex")) {
    ReadHex(value["hex"], Member(path, "hex"), entry);
  } else {
    ReadData(value["data"], Member(path, "data"), entry);
  }
}

DWORD Reader::ReadType(const Json& type, const std::string& path) {
  if (type.is_number_unsigned() && type.get<uint64_t>() <= 0xFFFFFFFFu) {
    return type.get<DWORD>();
  }
  if (type.is_string()) {
    for (DWORD i = 0; i < kTypeCount; ++i) {
      if (type == kTypeNames[i]) return i;
    }
  }
  Error(path, "a type name such as REG_SZ, or a number, is expected");
}

void Reader::ReadData(const Json& data, const std::string& path,
                      ValueEntry* entry) {
  std::vector<BYTE>& bytes = entry->data;
  auto append = [&bytes](const std::string& text) {
    if (text.find('\0') != std::string::npos) return false;
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
    return true;
  };
  if (IsText(entry->type) && data.is_string()) {
    if (append(data.get<std::string>())) return;
    Error(path, "a text holding a zero goes as \"hex\"");
  }
  if (entry->type == REG_MULTI_SZ && data.is_array()) {
    for (size_t i = 0; i < data.size(); ++i) {
      const Json& item = data[i];
      if (!item.is_string() || item == "" || !append(item.get<std::string>())) {
        Error(path + '[' + std::to_string(i) + ']',
              "an item is a text, not empty and without a zero");
      }
    }
    bytes.push_back(0);
    return;
  }
  size_t size = NumberSize(entry->type);
  uint64_t limit = size == 4 ? 0xFFFFFFFFu : ~uint64_t{0};
  if (size != 0 && data.is_number_unsigned() && data.get<uint64_t>() <= limit) {
    for (uint64_t n = data.get<uint64_t>(); bytes.size() < size; n >>= 8) {
      bytes.push_back(static_cast<BYTE>(n));
    }
    return;
  }
  Error(path, size == 4   ? "a number from 0 to 4294967295 is expected"
              : size == 8 ? "a number from 0 to 18446744073709551615 is "
                            "expected"
              : entry->type == REG_MULTI_SZ ? "a list of texts is expected"
              : IsText(entry->type)         ? "a text is expected"
                                    : "this type has its data as \"hex\" only");
}

void Reader::ReadHex(const Json& hex, const std::string& path,
                     ValueEntry* entry) {
  const std::string* text =
      hex.is_string() ? hex.get_ptr<const std::string*>() : nullptr;
  bool ok = text && text->size() % 2 == 0;
  for (size_t i = 0; ok && i < text->size(); i += 2) {
    int high = HexDigit((*text)[i]), low = HexDigit((*text)[i + 1]);
    ok = high >= 0 && low >= 0;
    entry->data.push_back(static_cast<BYTE>(high << 4 | low));
  }
  if (!ok) Error(path, "pairs of hex digits, such as \"00ff\", are expected");
}

KeyList Reader::Run(const Json& document) {
  ReadKey(document, ReadRoot(document), "$", true);
  return std::move(keys_);
}

}  // namespace

bool IsJson(std::string_view text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && text[first] == '{';
}

KeyList ParseJson(std::string_view text, const char* file,
                  const std::string& target) {
  DuplicateCheck duplicates;
  Json document;
  try {
    document = Json::parse(text.begin(), text.end(), std::ref(duplicates));
  } catch (const Json::parse_error& error) {
    size_t at = std::min<size_t>(error.byte, text.size());
    size_t line = 1 + std::count(text.begin(), text.begin() + at, '\n');
    std::string what = error.what();
    size_t colon = what.find(": ", what.find("column"));
    Fail("RestoreRegistry: %s, line %zu: not JSON: %s", file, line,
         colon == std::string::npos ? what.c_str() : what.c_str() + colon + 2);
  }
  if (!duplicates.error().empty()) {
    Fail("RestoreRegistry: %s, %s", file, duplicates.error().c_str());
  }
  return Reader(file, target).Run(document);
}

std::string JsonText(const KeyList& keys, std::vector<std::string>* left_out) {
  if (keys.empty()) {
    Fail("ConvertRegistryFile: a JSON file needs a key; the file holds none");
  }
  const std::string& root = keys.front().path;
  if (!IsUtf8(root)) {
    Fail(
        "ConvertRegistryFile: the key %s is not UTF-8, which a JSON file "
        "cannot carry",
        Shown(KeyName(root)).c_str());
  }
  TreeBuilder tree(keys, left_out);
  for (const KeyEntry& key : keys) tree.Add(key);
  std::string text = "{\n  \"version\": " + std::to_string(kVersion) +
                     ",\n  \"key\": " + Dump(KeyName(root));
  AppendMembers(tree.root(), 1, false, &text);
  return text + "}\n";
}

std::string JsonValue(const ValueEntry* value) {
  if (!value || value->remove) return "null";
  std::string type = value->type < kTypeCount ? Dump(kTypeNames[value->type])
                                              : std::to_string(value->type);
  Json data = DataOf(*value);
  std::string shown = data.is_array() ? "[" : Dump(data);
  for (size_t i = 0; data.is_array() && i < data.size(); ++i) {
    shown += (i ? ", " : "") + Dump(data[i]);  // a list as the rest: ", "
  }
  if (data.is_array()) shown += ']';
  return "{\"type\": " + type +
         (data.is_null() ? ", \"hex\": " + Dump(Hex(value->data))
                         : ", \"data\": " + shown) +
         '}';
}

std::string JsonString(std::string_view text) {
  return Dump(std::string(text));
}

}  // namespace zrnapi
