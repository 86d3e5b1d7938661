// The subcommands that read and change the store; the watch is in
// watch.cpp, save, restore and diff in files.cpp.
#include "commands.h"

#include <iostream>

#include "output.h"
#include "store.h"

namespace kxtool {
namespace {

std::string NoVariable(const std::string& name, View view) {
  return "no variable " + name + " in the " + ViewWords(view);
}

// The failure of a get, set or list: what is wrong with the store when a
// probe finds it cannot be used, else `otherwise`.
int FailOnStore(bool write, const std::string& otherwise) {
  std::string trouble = StoreTrouble(write);
  return Fail(trouble.empty() ? otherwise : trouble);
}

// What list and apps print: the key of the list and of each entry's
// value in JSON, and whether each entry brings its description along.
struct ListShape {
  const char* list_key;
  const char* value_key;
  bool json;
  bool descriptions;
};

// A variable's name and value, the elements of list and apps.
Json EntryJson(const Record& record, const ListShape& shape) {
  Json entry{{"name", record.name}, {shape.value_key, TextJson(record.value)}};
  if (shape.descriptions) entry["description"] = TextJson(record.description);
  return entry;
}

void PrintEntry(const Record& record, bool description) {
  PrintValueLine(record.name, record.value);
  if (description && record.description && !record.description->empty()) {
    std::cout << "    " << *record.description << '\n';
  }
}

int PrintList(View view, const std::optional<std::string>& app,
              const ListShape& shape) {
  std::vector<Record> records = List(view, app);
  if (records.empty()) {
    std::string trouble = StoreTrouble(false);
    if (!trouble.empty()) return Fail(trouble);
  }
  if (!shape.json) {
    for (const Record& record : records) {
      PrintEntry(record, shape.descriptions);
    }
    return kDone;
  }
  Json entries = Json::array();
  for (const Record& record : records) {
    entries.push_back(EntryJson(record, shape));
  }
  Json document{{"class", ViewLabel(view)}};
  if (view != View::kApp) document["app"] = TextJson(app);
  document[shape.list_key] = std::move(entries);
  PrintJson(document);
  return kDone;
}

// Why a name cannot be a variable's, as the library sees it; empty when it
// can. The library refuses such a name too, but its delete of one reports
// success (nothing of that name can exist).
std::string NameProblem(const std::string& name) {
  if (name.empty()) return "a variable name cannot be empty";
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\\') return "a variable name cannot hold a '\\': " + name;
    if (byte < 0x20 || byte == 0x7f) {
      return "a variable name cannot hold a control character (such as a line "
             "break)";
    }
  }
  return "";
}

}  // namespace

View ChosenView(const Args& args) {
  if (args.local) return View::kLocal;
  if (args.global) return View::kGlobal;
  if (args.opt) return View::kOpt;
  return View::kEnv;
}

int RunGet(const Args& args) {
  View view = ChosenView(args);
  std::optional<std::string> value = GetValue(view, *args.name);
  if (!value) return FailOnStore(false, NoVariable(*args.name, view));
  if (args.json) {
    PrintJson(
        {{"class", ViewLabel(view)}, {"name", *args.name}, {"value", *value}});
  } else {
    std::cout << *value << '\n';
  }
  return kDone;
}

int RunShow(const Args& args) {
  View view = ChosenView(args);
  std::optional<Record> record = GetRecord(view, *args.name);
  if (!record) return FailOnStore(false, NoVariable(*args.name, view));
  if (args.json) {
    PrintJson(RecordJson(*record));
  } else {
    PrintRecord(*record);
  }
  return kDone;
}

int RunSet(const Args& args) {
  View view = ChosenView(args);
  if (std::string problem = NameProblem(*args.name); !problem.empty()) {
    return Fail(problem);
  }
  if (SetValue(view, *args.name, args.value) != 0) {
    return FailOnStore(true, "cannot set " + *args.name + " in the " +
                                 ViewWords(view) +
                                 " (KX_TRACE=stderr shows why)");
  }
  return kDone;
}

int RunDel(const Args& args) {
  View view = ChosenView(args);
  if (std::string problem = NameProblem(*args.name); !problem.empty()) {
    return Fail(problem);
  }
  Outcome outcome = DeleteVariable(view, *args.name);
  if (!outcome.done) {
    return Fail("cannot delete " + *args.name + " from the " + ViewWords(view) +
                Because(outcome.reason));
  }
  return kDone;
}

int RunList(const Args& args) {
  return PrintList(ChosenView(args), args.app,
                   {"variables", "value", args.json, args.long_form});
}

int RunApps(const Args& args) {
  return PrintList(View::kApp, std::nullopt,
                   {"applications", "description", args.json, false});
}

int RunDelApp(const Args& args) {
  if (DeleteApplication(args.application) != 0) {
    return Fail("no application " + args.application +
                " with a description in the store");
  }
  return kDone;
}

}  // namespace kxtool
