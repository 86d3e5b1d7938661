// kxenv: the command-line tool over libkxenv. This file registers the
// subcommands with the argument parser and maps the outcome to the exit
// status: 0 done, 1 failed, 2 a command line that does not parse.
//
// A subcommand is a row of kCommands: its name, a line of help, the
// arguments it takes (bits of Takes) and its function (commands.h).
#include <CLI/CLI.hpp>
#include <cctype>
#include <iostream>
#include <map>

#include "commands.h"

namespace kxtool {
namespace {

// The arguments a subcommand takes.
enum Takes : unsigned {
  kName = 1u << 0,       // NAME
  kMaybeName = 1u << 1,  // [NAME]
  kValue = 1u << 2,      // VALUE
  kViews = 1u << 3,      // --local | --global | --opt
  kOpt = 1u << 4,        // --opt
  kAppOption = 1u << 5,  // --app APP
  kAppName = 1u << 6,    // APP
  kFile = 1u << 7,       // FILE
  kReplace = 1u << 8,    // --replace
  kJson = 1u << 9,       // --json
};

struct Command {
  const char* name;
  const char* summary;
  unsigned takes;
  int (*run)(const Args&);
  const char* details;  // printed below the options in the help; or null
};

constexpr Command kCommands[] = {
    {"get", "Print the effective value of a variable", kName | kViews | kJson,
     RunGet, nullptr},
    {"show", "Print every field of a variable's record", kName | kOpt | kJson,
     RunShow, "The time stamp is shown in the local time zone (TZ)."},
    {"set", "Set a variable's value", kName | kValue | kViews, RunSet,
     "Without --global the local value is set. A VALUE that starts with '-' "
     "follows '--'."},
    {"del", "Delete a variable (nothing to delete is no failure)", kName | kOpt,
     RunDel, nullptr},
    {"list", "List the variables of a class, or of one application",
     kOpt | kAppOption | kJson, RunList, nullptr},
    {"apps", "List the applications with their descriptions", kJson, RunApps,
     nullptr},
    {"del-app", "Delete an application and every variable it owns", kAppName,
     RunDelApp, nullptr},
    {"watch", "Report every change of a variable, or of its class",
     kMaybeName | kOpt | kJson, RunWatch,
     "Runs until Ctrl-C (SIGINT) or SIGTERM, then exits with 0. It says on "
     "standard error when it is watching."},
    {"save", "Save the store to a file", kFile | kReplace, RunSave,
     "--replace overwrites an existing FILE."},
    {"restore", "Restore the store from a saved file", kFile | kReplace,
     RunRestore,
     "Merges the file into the store; --replace empties the store first. A "
     "file that does not parse restores nothing."},
};

void AddViews(CLI::App* command, Args& args, unsigned takes) {
  CLI::Option* opt =
      command->add_flag("--opt", args.opt, "The option class instead");
  if (!(takes & kViews)) return;
  CLI::Option* local = command->add_flag(
      "--local", args.local, "The local value of the environment variable");
  CLI::Option* global = command->add_flag(
      "--global", args.global, "The global value of the environment variable");
  local->excludes(global)->excludes(opt);
  global->excludes(opt);
}

void AddArguments(CLI::App* command, Args& args, unsigned takes) {
  auto name = [&args](const std::string& text) { args.name = text; };
  if (takes & kName) {
    command->add_option_function<std::string>("NAME", name, "Variable name")
        ->required();
  }
  if (takes & kMaybeName) {
    command->add_option_function<std::string>(
        "NAME", name, "Variable name; without it, the whole class");
  }
  if (takes & kValue) {
    command->add_option("VALUE", args.value, "New value")->required();
  }
  if (takes & kAppName) {
    command->add_option("APP", args.application, "Application name")
        ->required();
  }
  if (takes & kFile) {
    command->add_option("FILE", args.file, "Save file")->required();
  }
  if (takes & (kViews | kOpt)) AddViews(command, args, takes);
  if (takes & kAppOption) {
    command->add_option_function<std::string>(
        "--app", [&args](const std::string& text) { args.app = text; },
        "Only the variables this application owns");
  }
  if (takes & kReplace) {
    command->add_flag("--replace", args.replace, "Replace (see below)");
  }
  if (takes & kJson) {
    command->add_flag("--json", args.json, "Print JSON, one document per line");
  }
}

// Messages in the tool's voice; the hint names the help.
std::string UsageMessage(const CLI::App* app, const CLI::Error& error) {
  std::string what = error.what();
  for (const std::string& word : app->remaining(true)) {
    if (word.size() > 1 && word[0] == '-') {
      what = "unknown option: " + word;
      break;
    }
    if (app->get_subcommands().empty()) {
      what = "unknown command: " + word;
      break;
    }
  }
  if (what.size() > 1 && std::isupper(static_cast<unsigned char>(what[0])) &&
      std::islower(static_cast<unsigned char>(what[1]))) {
    what[0] =
        static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
  }
  return "kxenv: " + what + "\nRun 'kxenv --help' for the commands.\n";
}

// `kxenv help [COMMAND]`: the help of the tool or of one command.
int RunHelp(const CLI::App& app, const std::map<std::string, CLI::App*>& all,
            const std::optional<std::string>& topic) {
  if (!topic) {
    // app.help() would give the help of the selected subcommand, `help`.
    std::cout << app.get_formatter()->make_help(&app, app.get_name(),
                                                CLI::AppFormatMode::Normal);
    return kDone;
  }
  auto found = all.find(*topic);
  if (found == all.end()) {
    std::cerr << "kxenv: unknown command: " << *topic
              << "\nRun 'kxenv --help' for the commands.\n";
    return kUsage;
  }
  std::cout << found->second->help(app.get_name());
  return kDone;
}

int Main(int argc, char** argv) {
  CLI::App app{
      "kxenv: read, set, list and watch the configuration variables of the "
      "store that KX_REGISTRY names.",
      "kxenv"};
  app.require_subcommand(1);
  app.failure_message(UsageMessage);
  Args args;
  std::map<std::string, CLI::App*> subcommands;
  for (const Command& command : kCommands) {
    CLI::App* sub = app.add_subcommand(command.name, command.summary);
    AddArguments(sub, args, command.takes);
    if (command.details) sub->footer(command.details);
    subcommands[command.name] = sub;
  }
  std::optional<std::string> topic;
  CLI::App* help = app.add_subcommand("help", "Print the help of a command");
  help->add_option_function<std::string>(
      "COMMAND", [&topic](const std::string& text) { topic = text; },
      "Command");
  app.footer("Run 'kxenv help COMMAND' for the help of one command.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int status = app.exit(error);
    return status == 0 ? kDone : kUsage;
  }
  if (*help) return RunHelp(app, subcommands, topic);
  for (const Command& command : kCommands) {
    if (*subcommands[command.name]) return command.run(args);
  }
  return kUsage;
}

}  // namespace
}  // namespace kxtool

int main(int argc, char** argv) {
  try {
    return kxtool::Main(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "kxenv: " << error.what() << '\n';
    return kxtool::kFailed;
  }
}
