// The commands over save files: save (in any format, of the whole store or
// of one application), restore, and what a restore would change (diff and
// restore --dry-run).
//
// The library saves REGEDIT4 only (KXsaveenv). Another format, or one
// application, is made from that snapshot by the support library's
// ConvertRegistryFile, through scratch files beside the target that go
// again on every way out. One application's file holds its key under APP
// with its membership keys, and the keys of the variables these list
// under ENV and OPT: restored (merged), it brings the application back as
// it was, and leaves every other variable alone.
//
// A diff is the support library's report of what the restore would
// change (CompareRegistry), which plans from the file exactly as the
// restore does; its exit status is diff's: 0 the same, 1 different, 2
// trouble.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "commands.h"
#include "output.h"
#include "store_layout.h"
#include "win32_extra.h"
#include "zrnapi/zrnapi.h"

namespace kxtool {
namespace {

// The class keys of variables below the store key, which are also an
// application's membership keys, listing its variables.
constexpr const char* kVariableClasses[] = {kx::layout::kEnvClass,
                                            kx::layout::kOptClass};

// A file of the tool's own beside `beside`, removed when it goes.
class Scratch {
 public:
  Scratch(const std::string& beside, const char* suffix)
      : path_(beside + ".kxenv-" + std::to_string(getpid()) + suffix) {}
  ~Scratch() { std::remove(path_.c_str()); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Format ChosenFormat(const std::string& format) {
  if (format == "5") return Format::kVersion5;
  if (format == "json") return Format::kJson;
  return Format::kRegedit4;
}

bool SameName(const std::string& a, const std::string& b) {
  return _mbsicmp(reinterpret_cast<const unsigned char*>(a.c_str()),
                  reinterpret_cast<const unsigned char*>(b.c_str())) == 0;
}

// The subkey `name` (in any case) of a key of a JSON save file, with its
// name as the file spells it; null when there is none.
const Json* Subkey(const Json& key, const std::string& name,
                   std::string* spelled) {
  auto keys = key.find("keys");
  if (keys == key.end()) return nullptr;
  for (const auto& [member, child] : keys->items()) {
    if (SameName(member, name)) {
      *spelled = member;
      return &child;
    }
  }
  return nullptr;
}

// Writes the part of the JSON save file of the store `source` that belongs
// to the application `app` to `target`; says what went wrong, if anything.
std::string WriteApplication(const std::string& source,
                             const std::string& target,
                             const std::string& app) {
  std::ifstream in(source);
  Json store = Json::parse(in, nullptr, false);
  if (store.is_discarded()) return "cannot read the snapshot " + source;
  Json only{{"version", store["version"]}, {"key", store["key"]}};
  std::string apps_name, app_name, members_name, class_name, name;
  const Json* apps = Subkey(store, kx::layout::kAppClass, &apps_name);
  const Json* owner = apps ? Subkey(*apps, app, &app_name) : nullptr;
  if (!owner) return "no application " + app + " in the store";
  only["keys"][apps_name]["keys"][app_name] = *owner;
  for (const char* view : kVariableClasses) {
    const Json* members = Subkey(*owner, view, &members_name);
    const Json* variables = Subkey(store, view, &class_name);
    if (!members || !variables || !members->contains("values")) continue;
    for (const auto& [member, unused] : (*members)["values"].items()) {
      const Json* variable = Subkey(*variables, member, &name);
      if (variable) only["keys"][class_name]["keys"][name] = *variable;
    }
  }
  std::ofstream out(target);
  out << only.dump(2) << '\n';
  return out.flush() ? "" : "cannot write the scratch file " + target;
}

// Saves the store, or one application of it, in `format`; a warning of a
// step goes to `warnings`.
Outcome Save(const Args& args, Format format,
             std::vector<std::string>* warnings) {
  auto warn = [warnings](const Outcome& outcome) {
    if (outcome.done && !outcome.reason.empty()) {
      warnings->push_back(outcome.reason);
    }
    return outcome.done;
  };
  if (format == Format::kRegedit4 && !args.app) {
    Outcome outcome = SaveStore(args.file, args.replace);
    warn(outcome);
    return outcome;
  }
  Scratch snapshot(args.file, ".reg"), json(args.file, ".json"),
      part(args.file, ".part.json");
  Outcome outcome = SaveStore(snapshot.path(), true);
  if (!warn(outcome)) return outcome;
  std::string source = snapshot.path();
  if (args.app) {
    outcome = ConvertFile(source, json.path(), true, Format::kJson);
    if (!warn(outcome)) return outcome;
    std::string problem = WriteApplication(json.path(), part.path(), *args.app);
    if (!problem.empty()) return {false, problem};
    source = part.path();
  }
  outcome = ConvertFile(source, args.file, args.replace, format);
  warn(outcome);
  return outcome;
}

// ---- Differences ------------------------------------------------------------

// A name as a diff line shows it: as it is, or quoted as in JSON when it
// is empty or holds a blank, a quote, a ':' or a control character.
std::string Word(const std::string& name) {
  bool plain = !name.empty();
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    plain = plain && byte > ' ' && byte != 0x7f && c != '"' && c != ':';
  }
  return plain
             ? name
             : Json(name).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A value of the report as a diff line shows it: a REG_SZ as its quoted
// text, any other as TYPE:data or TYPE:hex:bytes.
std::string Shown(const Json& value) {
  const Json& type = value["type"];
  if (value.contains("data") && type == "REG_SZ") return value["data"].dump();
  std::string named = type.is_string() ? type.get<std::string>() : type.dump();
  if (value.contains("data")) return named + ':' + value["data"].dump();
  return named + ":hex:" + value["hex"].get<std::string>();
}

// The class key and the rest of a key below the store key.
std::pair<std::string, std::string> ClassAndVariable(const std::string& key) {
  size_t cut = key.find('\\');
  if (cut == std::string::npos) return {key, ""};
  return {key.substr(0, cut), key.substr(cut + 1)};
}

void PrintChange(const Json& change) {
  auto [view, variable] = ClassAndVariable(change["key"]);
  std::cout << change["change"].get<std::string>() << ' ' << Word(view) << ' '
            << Word(variable);
  if (!change["name"].is_null()) {
    std::cout << ' ' << Word(change["name"]) << ": ";
    const Json& old_value = change["old"];
    const Json& new_value = change["new"];
    if (!old_value.is_null()) std::cout << Shown(old_value);
    if (!old_value.is_null() && !new_value.is_null()) std::cout << " -> ";
    if (!new_value.is_null()) std::cout << Shown(new_value);
  }
  std::cout << '\n';
}

Json ChangeJson(const Json& change) {
  auto [view, variable] = ClassAndVariable(change["key"]);
  return Json{{"change", change["change"]}, {"class", view},
              {"variable", variable},       {"name", change["name"]},
              {"old", change["old"]},       {"new", change["new"]}};
}

// Prints what a restore of the file would change; 0 when nothing, 1 when
// something, 2 when the file cannot be compared.
int ShowChanges(const Args& args) {
  std::string text;
  Outcome outcome =
      CompareStore(args.file, args.replace, args.allow_empty, &text);
  if (!outcome.done) {
    Fail("cannot compare the store with " + args.file +
         Because(outcome.reason));
    return kUsage;
  }
  const Json changes = Json::parse(text)["changes"];
  if (args.json) {
    Json list = Json::array();
    for (const Json& change : changes) list.push_back(ChangeJson(change));
    PrintJson({{"file", args.file},
               {"replace", args.replace},
               {"differs", !changes.empty()},
               {"changes", list}});
  } else {
    for (const Json& change : changes) PrintChange(change);
  }
  return changes.empty() ? kDone : kDiffers;
}

}  // namespace

int RunSave(const Args& args) {
  std::error_code error;
  if (!args.replace && std::filesystem::exists(args.file, error)) {
    return Fail(args.file + " exists; --replace overwrites it");
  }
  std::vector<std::string> warnings;
  Outcome outcome = Save(args, ChosenFormat(args.format), &warnings);
  if (!outcome.done) {
    return Fail("cannot save the store to " + args.file +
                Because(outcome.reason));
  }
  for (const std::string& warning : warnings) Tell("warning: " + warning);
  return kDone;
}

int RunRestore(const Args& args) {
  if (args.dry_run) return ShowChanges(args);
  Outcome outcome = RestoreStore(args.file, args.replace, args.allow_empty);
  if (!outcome.done) {
    bool empty_file = args.replace && !args.allow_empty &&
                      outcome.reason.find("holds no key") != std::string::npos;
    return Fail(
        "cannot restore the store from " + args.file + Because(outcome.reason) +
        (empty_file ? " (--allow-empty empties the store all the same)" : ""));
  }
  return kDone;
}

int RunDiff(const Args& args) {
  return ShowChanges(args);
}

}  // namespace kxtool
