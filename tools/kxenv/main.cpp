// kxenv: the command-line tool over libkxenv. This file registers the
// subcommands with the argument parser and maps the outcome to the exit
// status: 0 done, 1 failed, 2 a command line that does not parse.
//
// A subcommand is one AddCommand call: its name, a line of help, the
// arguments it takes (bits of Takes) and its function (commands.h), which
// CLI11 calls once the whole command line has parsed.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "commands.h"
#include "output.h"
#include "platform/system.h"
#include "store.h"
#include "win32_extra.h"
#include "zrnapi/zrnapi.h"

// This module's own trace of a registry without transacted calls.
KXWIN_TRACE_TRANSACTED_FALLBACK(SetTraceStringA);

namespace kxtool {
namespace {

// The arguments a subcommand takes.
enum Takes : unsigned {
  kName = 1u << 0,         // NAME
  kMaybeName = 1u << 1,    // [NAME]
  kValue = 1u << 2,        // VALUE
  kViews = 1u << 3,        // --local | --global | --opt
  kOpt = 1u << 4,          // --opt
  kAppOption = 1u << 5,    // --app APP
  kAppName = 1u << 6,      // APP
  kFile = 1u << 7,         // FILE
  kReplace = 1u << 8,      // --replace
  kJson = 1u << 9,         // --json
  kLong = 1u << 10,        // --long
  kControl = 1u << 11,     // CONTROL
  kLanguage = 1u << 12,    // [LANGUAGE]
  kTableFiles = 1u << 13,  // --source FILE --target FILE
  kAllowEmpty = 1u << 14,  // --allow-empty
  kNoStore = 1u << 15,     // works on files only, never on the store
  kFormat = 1u << 16,      // --format 4|5|json
  kDryRun = 1u << 17,      // --dry-run
  kExec = 1u << 18,        // --exec CMD [ARG...] --coalesce MS
  kDiffStatus = 1u << 19,  // exits as diff does: 2 for trouble
};

// What the command line said, and the exit status of the command it chose.
struct Parsed {
  Args args;
  int status = kUsage;
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

// A language code names a catalog and becomes part of a file name, so it
// is a plain word: letters, digits, '_' and '-'.
std::string CheckLanguage(const std::string& text) {
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') {
      return "a language code such as de is expected, not " + text;
    }
  }
  return text.empty() ? "a language code such as de is expected" : "";
}

void AddPositionals(CLI::App* command, Args& args, unsigned takes) {
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
  if (takes & kControl) {
    command->add_option("CONTROL", args.control, "Control file")->required();
  }
  if (takes & kLanguage) {
    command
        ->add_option_function<std::string>(
            "LANGUAGE",
            [&args](const std::string& text) { args.language = text; },
            "Language code (de, en); without it, the locale's")
        ->check(CLI::Validator(CheckLanguage, "", "language"));
  }
}

// Sets an optional text when the option is given.
void AddTextOption(CLI::App* command, const char* name,
                   std::optional<std::string>& text, const char* help) {
  command->add_option_function<std::string>(
      name, [&text](const std::string& given) { text = given; }, help);
}

void AddOptions(CLI::App* command, Args& args, unsigned takes) {
  if (takes & (kViews | kOpt)) AddViews(command, args, takes);
  if (takes & kAppOption) {
    AddTextOption(command, "--app", args.app,
                  "Only this application and the variables it owns");
  }
  if (takes & kTableFiles) {
    AddTextOption(command, "--source", args.source,
                  "The table to localise (default: kxenv.tab)");
    AddTextOption(command, "--target", args.target,
                  "The file to write (default: kxenvtb.LANGUAGE)");
  }
  if (takes & kReplace) {
    command->add_flag("--replace", args.replace, "Replace (see below)");
  }
  if (takes & kAllowEmpty) {
    command
        ->add_flag("--allow-empty", args.allow_empty,
                   "With --replace, empty the store also from a file that "
                   "holds no key")
        ->needs("--replace");
  }
  if (takes & kDryRun) {
    command->add_flag("--dry-run", args.dry_run,
                      "Change nothing; print what the restore would change");
  }
  if (takes & kFormat) {
    command
        ->add_option("--format", args.format,
                     "4 (REGEDIT4, default), 5 (version 5, UTF-16) or json")
        ->check(CLI::IsMember({"4", "5", "json"}));
  }
  if (takes & kExec) {
    // Main takes --exec and every word after it before the parse; the
    // option is here for the help.
    command
        ->add_option("--exec", args.exec,
                     "Run CMD once for each change (the last option: every "
                     "word after it is the command's)")
        ->type_name("CMD [ARG...]");
    command
        ->add_option_function<int>(
            "--coalesce", [&args](int ms) { args.coalesce = ms; },
            "Milliseconds to gather further changes into one run (200)")
        ->type_name("MS")
        ->check(CLI::Range(0, 3600000));
  }
  if (takes & kLong) {
    command->add_flag("--long", args.long_form,
                      "Add each variable's description");
  }
  if (takes & kJson) {
    command->add_flag("--json", args.json, "Print JSON, one document per line");
  }
}

// Runs a command unless the store's objects file cannot be used. One this
// user may not write still serves reads; a command that fails then says why.
// `failed` is the command's failure status.
int RunWithObjects(int (*run)(const Args&), const Args& args, int failed) {
  char path[MAX_PATH] = "";
  DWORD status = KxwinObjectsFile(path, sizeof path);
  if (status == ERROR_SUCCESS) return run(args);
  std::string reason = SetAndGetLastErrorMsg();
  if (status != ERROR_ACCESS_DENIED) {
    Fail("cannot use the objects file " + std::string(path) + ": " + reason);
    return failed;
  }
  int result = run(args);
  if (result == failed) {
    Fail("the objects file " + std::string(path) +
         " is not writable: " + reason);
  }
  return result;
}

// Registers a subcommand; its function runs once the whole command line
// has parsed (CLI11's final callback comes after every check).
CLI::App* AddCommand(CLI::App& app, Parsed& parsed, const char* name,
                     const char* summary, unsigned takes,
                     int (*run)(const Args&)) {
  CLI::App* command = app.add_subcommand(name, summary);
  AddPositionals(command, parsed.args, takes);
  AddOptions(command, parsed.args, takes);
  bool store = !(takes & kNoStore), diff = takes & kDiffStatus;
  command->callback([&parsed, run, store, diff] {
    const Args& args = parsed.args;
    int failed = diff || args.dry_run ? kUsage : kFailed;
    parsed.status = store ? RunWithObjects(run, args, failed) : run(args);
  });
  return command;
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
int RunHelp(const CLI::App& app, const std::optional<std::string>& topic) {
  if (!topic) {
    // app.help() would give the help of the selected subcommand, `help`.
    std::cout << app.get_formatter()->make_help(&app, app.get_name(),
                                                CLI::AppFormatMode::Normal);
    return kDone;
  }
  try {
    std::cout << app.get_subcommand(*topic)->help(app.get_name());
    return kDone;
  } catch (const CLI::OptionNotFound&) {
    std::cerr << "kxenv: unknown command: " << *topic
              << "\nRun 'kxenv --help' for the commands.\n";
    return kUsage;
  }
}

void AddVariableCommands(CLI::App& app, Parsed& p) {
  AddCommand(app, p, "get", "Print the effective value of a variable",
             kName | kViews | kJson, RunGet);
  AddCommand(app, p, "show", "Print every field of a variable's record",
             kName | kOpt | kJson, RunShow)
      ->footer("The time stamp is shown in the local time zone (TZ).");
  AddCommand(app, p, "set", "Set a variable's value", kName | kValue | kViews,
             RunSet)
      ->footer(
          "Without --global the local value is set. A VALUE that starts "
          "with '-' follows '--'.");
  AddCommand(app, p, "del",
             "Delete a variable (nothing to delete is no failure)",
             kName | kOpt, RunDel);
  AddCommand(app, p, "list",
             "List the variables of a class, or of one application",
             kOpt | kAppOption | kLong | kJson, RunList);
  AddCommand(app, p, "apps", "List the applications with their descriptions",
             kJson, RunApps);
  AddCommand(app, p, "del-app",
             "Delete an application and every variable it owns", kAppName,
             RunDelApp);
  AddCommand(app, p, "watch",
             "Report every change of a variable, or of its class",
             kMaybeName | kOpt | kJson | kExec, RunWatch)
      ->footer(
          "Runs until Ctrl-C (SIGINT) or SIGTERM, then exits with 0. It says "
          "on standard error when it is watching. With --exec it runs the "
          "command (never through a shell) for each change instead of "
          "printing it, with KXENV_CLASS, KXENV_NAME and KXENV_VALUE (unset "
          "for a deleted variable) in its environment; changes of a "
          "variable that come within --coalesce milliseconds, or while the "
          "command runs, make one more run. A failed command is reported "
          "and the watch goes on; Ctrl-C waits for a running command.");
}

void AddStoreCommands(CLI::App& app, Parsed& p) {
  AddCommand(app, p, "save", "Save the store to a file",
             kFile | kReplace | kFormat | kAppOption, RunSave)
      ->footer(
          "--replace overwrites an existing FILE. The save is a consistent "
          "snapshot, so it may run while other programs write. --format 5 "
          "writes the registry editors' version 5 (UTF-16), --format json a "
          "JSON document; restore reads them all. --app saves one "
          "application: its key and the variables it owns. A name that the "
          "format cannot carry (a line break in version 4 or 5, bytes that "
          "are not UTF-8 in JSON) is left out, with a warning that names "
          "it.");
  CLI::App* restore =
      AddCommand(app, p, "restore", "Restore the store from a saved file",
                 kFile | kReplace | kAllowEmpty | kDryRun | kJson, RunRestore);
  restore->get_option("--json")->needs("--dry-run");
  restore->footer(
      "Merges the file (of any format save writes, found from its content) "
      "into the store; --replace empties the store first. Only what "
      "differs is written. A file that does not parse restores nothing. A "
      "file that holds no key (only the REGEDIT4 header, as a save cut "
      "short leaves it) would only empty the store: --replace refuses it "
      "unless --allow-empty is given too. --dry-run prints what the "
      "restore would change, as diff does.");
  AddCommand(app, p, "diff", "Print what restoring a file would change",
             kFile | kReplace | kAllowEmpty | kJson | kDiffStatus, RunDiff)
      ->footer(
          "One line per change: '+' added, '~' changed, '-' removed, then "
          "the class, the variable, the value's name, and the old and new "
          "value. Without --replace the file would be merged, so only what "
          "it holds can differ. Nothing is changed. Exits with 0 when the "
          "store matches, 1 when it differs, 2 on trouble.");
  AddCommand(app, p, "load-table",
             "Load the variable table (kxenv.tab) into the store", kControl,
             RunLoadTable)
      ->footer(
          "The table lies in the global directory, the value of KXIGLBL0000. "
          "CONTROL selects the applications and variables to load. Values "
          "of an earlier installation's profile files are carried over, and "
          "each profile file read is moved to FILE.BAK.");
  AddCommand(app, p, "init-table",
             "Put the shipped table (kxenv.hdg) back as kxenv.tab", kNoStore,
             RunInitTable)
      ->footer(
          "In the global directory (KXIGLBL0000) the table in use is kept "
          "as kxenv.bak and kxenv.hdg is copied over kxenv.tab. The store "
          "is not touched.");
  AddCommand(app, p, "localize",
             "Write a copy of the table with its descriptions in a language",
             kLanguage | kTableFiles | kNoStore, RunLocalize)
      ->footer(
          "The copy goes to kxenvtb.LANGUAGE in the global directory "
          "(KXIGLBL0000) unless --target names a file; the texts come from "
          "the catalogs (KX_LOCALE_DIR names their directory).");
}

void AddHistoryCommands(CLI::App& app, Parsed& p) {
  AddHistoryOptions(
      AddCommand(app, p, "history",
                 "List the changes of the store, newest "
                 "first",
                 kMaybeName | kJson, RunHistory)
          ->footer("Without NAME every change; with it, those of its "
                   "variable, option and application. TIME: 2026-05-01, "
                   "'2026-05-01 10:00[:00]' (local time; UTC with a trailing "
                   "Z), @SECONDS since 1970, or 30s, 10m, 2h, 7d ago."),
      p.args.history);
  AddBlameOptions(AddCommand(app, p, "blame",
                             "Show the change that set each "
                             "value of each variable",
                             kJson, RunBlame),
                  p.args.history);
  AddRevertOptions(
      AddCommand(app, p, "revert", "Put a variable's values back as they were",
                 kName, RunRevert)
          ->footer("--to ID puts them back as they were after the change ID "
                   "and the others made with it (kxenv history NAME shows the "
                   "ids), --to TIME as they were then. The revert is a set: it "
                   "is journalled, and shared "
                   "by the fleet agent where the class is shared."),
      p.args.history);
}

// `kxenv watch ... --exec CMD [ARG...]`: takes --exec and every word
// after it, which are the command's even where they look like options of
// the tool's; nothing when there is no --exec.
std::optional<std::vector<std::string>> TakeExec(int* argc, char** argv) {
  if (*argc < 2 || std::strcmp(argv[1], "watch") != 0) return std::nullopt;
  for (int i = 2; i < *argc; ++i) {
    if (std::strcmp(argv[i], "--exec") == 0) {
      std::vector<std::string> command(argv + i + 1, argv + *argc);
      *argc = i;
      return command;
    }
  }
  return std::nullopt;
}

// `kxenv sync ARGS` is the fleet agent, a program of its own beside this
// one: it links gRPC, which neither the tool nor the library does.
int ExecSync(int argc, char** argv) {
  return Fail("cannot run the fleet agent " +
              ExecBeside("kxenv-sync", argc - 2, argv + 2));
}

int Main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "sync") == 0) {
    return ExecSync(argc, argv);
  }
  std::string trouble = UseChosenStore();
  if (!trouble.empty()) return Fail(trouble);
  CLI::App app{
      "kxenv: read, set, list and watch the configuration variables of the "
      "store that KX_REGISTRY names, and load the variable table into it.",
      "kxenv"};
  // One syntax everywhere: on Windows too a word that begins with '/' is a
  // path (the root of the current drive), not an option.
  app.allow_windows_style_options(false);
  app.require_subcommand(1);
  app.set_version_flag("--version", "kxenv " KXENV_VERSION,
                       "Print the version and exit");
  app.failure_message(UsageMessage);
  Parsed parsed;
  std::optional<std::vector<std::string>> exec = TakeExec(&argc, argv);
  if (exec && exec->empty()) {
    std::cerr << "kxenv: --exec needs a command\n"
                 "Run 'kxenv --help' for the commands.\n";
    return kUsage;
  }
  if (exec) parsed.args.exec = std::move(*exec);
  AddVariableCommands(app, parsed);
  AddStoreCommands(app, parsed);
  AddHistoryCommands(app, parsed);
  std::optional<std::string> topic;
  CLI::App* help = app.add_subcommand("help", "Print the help of a command");
  help->add_option_function<std::string>(
      "COMMAND", [&topic](const std::string& text) { topic = text; },
      "Command");
  help->callback([&] { parsed.status = RunHelp(app, topic); });
  app.footer(
      "Run 'kxenv help COMMAND' for the help of one command, and "
      "'kxenv sync --help' for the fleet agent.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int status = app.exit(error);
    return status == 0 ? kDone : kUsage;
  }
  if (parsed.status == kDone && OutputFailed()) {
    return Fail("cannot write standard output");
  }
  return parsed.status;
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
