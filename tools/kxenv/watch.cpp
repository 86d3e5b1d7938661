// kxenv watch: reports every change of a variable, or of a whole class,
// until SIGINT or SIGTERM; with --exec it hands each change to the runner
// of the command instead (exec.cpp), and tends it between its waits.
//
// The library's watch is one-shot: each round arms an asynchronous watch
// on an event of the tool's and only then reads what it reports. A change
// made after the arming signals the event again, and one made before it is
// seen by the read, so no change is lost between rounds (changes that come
// close together may be reported as one).
//
// An asynchronous watch of a key that does not exist returns 0 all the
// same and never fires. So a variable's watch keeps a watch of its class
// armed beside its own, on a second event: the class watch sees the
// variable come back after a delete, and a change that its own watch,
// armed too late, missed. Its own watch reports every change, also a set
// of the same value where the store tells of one (Windows' registry does
// not: a write of the data a value holds changes nothing); the class watch
// reports only what differs from the last report.
//
// Signals: the handlers only raise a flag. The main thread waits on the
// events in short slices and looks at the flag between them, so a signal
// never runs anything but the flag's store, and the tool ends through its
// normal return with exit status 0.
#include <algorithm>
#include <iostream>
#include <map>
#include <vector>

#include "commands.h"
#include "exec.h"
#include "holders.h"
#include "output.h"
#include "platform/system.h"
#include "win32_extra.h"

namespace kxtool {
namespace {

// The event the watches signal. Closing it while the last round's watch
// thread still waits on it is safe: the wait holds the event until the
// library's unload ends that thread.
kx::UniqueHandle MakeEvent() {
  return kx::UniqueHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

// How often the flag is looked at while no change comes.
constexpr DWORD kSliceMilliseconds = 100;

// Which event woke the wait (the lowest index of those set), or why none.
struct Wake {
  enum { kEvent, kStop, kError } what;
  DWORD index;
};

// Waits for an event, a stop, or the runner's next moment (tending it).
Wake AwaitChange(const std::vector<HANDLE>& events, Runner* runner) {
  while (!StopRequested()) {
    DWORD slice = kSliceMilliseconds;
    if (runner) {
      slice = std::min<DWORD>(slice, static_cast<DWORD>(Tend(runner).count()));
    }
    DWORD result = WaitForMultipleObjects(static_cast<DWORD>(events.size()),
                                          events.data(), FALSE, slice);
    if (result < WAIT_OBJECT_0 + events.size()) {
      return {Wake::kEvent, result - WAIT_OBJECT_0};
    }
    if (result != WAIT_TIMEOUT) return {Wake::kError, 0};
  }
  if (runner) Finish(runner);
  return {Wake::kStop, 0};
}

// Whether a record is as it was: its values and what a set writes with
// them. A set of the same value in the same second leaves it as it was.
bool Same(const Record& a, const Record& b) {
  return a.value == b.value && a.defaultValue == b.defaultValue &&
         a.localValue == b.localValue && a.globalValue == b.globalValue &&
         a.timeStamp == b.timeStamp && a.lastUser == b.lastUser &&
         a.app == b.app;
}

int WaitFailed() {
  return Fail("the wait for a change failed");
}

// A watch that could not be armed would never fire: rather than wait for
// ever, the tool says so.
int NotArmed() {
  return Fail("the watch could not be armed (KX_TRACE=stderr shows why)");
}

// What a report wrote must have reached standard output.
int OutputLost() {
  return Fail("cannot write standard output");
}

// ---- One variable -----------------------------------------------------------

struct VariableWatch {
  View view;
  std::string name;
  bool json;
  Runner* runner;              // with --exec
  HANDLE own;                  // the variable's watch signals it
  HANDLE group;                // the class watch signals it
  std::optional<Record> last;  // as last reported; nothing: deleted
};

void Report(const VariableWatch& watch) {
  const std::optional<Record>& record = watch.last;
  std::optional<std::string> value = record ? record->value : std::nullopt;
  if (watch.runner) {
    Queue(watch.runner, {ViewLabel(watch.view), watch.name, value});
    return;
  }
  if (watch.json) {
    PrintJson({{"class", ViewLabel(watch.view)},
               {"name", watch.name},
               {"value", TextJson(value)},
               {"deleted", !record}});
  } else if (!record) {
    std::cout << watch.name << " deleted\n";
  } else {
    PrintValueLine(watch.name, value);
  }
  std::cout.flush();
}

// Arms the variable's own watch and reads it; false when the watch could
// not be armed (the read happens all the same).
bool ArmAndRead(const VariableWatch& watch, std::optional<Record>* now) {
  bool armed = ArmWatch(watch.view, watch.name, watch.own) == 0;
  *now = GetRecord(watch.view, watch.name);
  return armed;
}

// The variable's own watch fired: every such change is reported. False
// when a watch could not be armed again.
bool OwnChange(VariableWatch& watch) {
  std::optional<Record> now;
  if (!ArmAndRead(watch, &now)) return false;
  if (!now && !watch.last) return true;
  watch.last = std::move(now);
  Report(watch);
  return true;
}

bool Unchanged(const std::optional<Record>& now,
               const std::optional<Record>& last) {
  if (!now || !last) return !now && !last;
  return Same(*now, *last);
}

// Something in the class changed: reported only when the variable came,
// went or differs from the last report, and then its own watch is armed
// again, since it evidently did not fire.
bool ClassChange(VariableWatch& watch) {
  if (ArmWatch(watch.view, std::nullopt, watch.group) != 0) return false;
  if (Unchanged(GetRecord(watch.view, watch.name), watch.last)) return true;
  std::optional<Record> now;
  if (!ArmAndRead(watch, &now)) return false;
  if (Unchanged(now, watch.last)) return true;
  watch.last = std::move(now);
  Report(watch);
  return true;
}

int WatchVariable(View view, const std::string& name, bool json,
                  Runner* runner) {
  kx::UniqueHandle own = MakeEvent(), group = MakeEvent();
  if (!own || !group) return Fail("cannot make an event");
  VariableWatch watch{view,      name,        json,        runner,
                      own.get(), group.get(), std::nullopt};
  bool armed = ArmWatch(view, std::nullopt, watch.group) == 0;
  armed = ArmAndRead(watch, &watch.last) && armed;
  if (!watch.last) {
    return Fail("no variable " + name + " in the " + ViewWords(view) +
                " to watch");
  }
  if (!armed) return NotArmed();
  Tell("watching " + name + " in the " + ViewWords(view) + "; Ctrl-C ends");
  for (;;) {
    Wake wake = AwaitChange({watch.own, watch.group}, runner);
    if (wake.what == Wake::kStop) return kDone;
    if (wake.what == Wake::kError) return WaitFailed();
    bool rearmed = wake.index == 0 ? OwnChange(watch) : ClassChange(watch);
    if (!rearmed) return NotArmed();
    if (OutputFailed()) return OutputLost();
  }
}

// ---- A whole class ----------------------------------------------------------

using Snapshot = std::map<std::string, Record>;

Snapshot Take(View view) {
  Snapshot snapshot;
  for (Record& record : List(view, std::nullopt)) {
    std::string name = record.name;
    snapshot.emplace(std::move(name), std::move(record));
  }
  return snapshot;
}

struct Change {
  const char* kind;  // "new", "set" or "deleted"
  std::string name;
  std::optional<std::string> value;
};

std::vector<Change> Compare(const Snapshot& before, const Snapshot& after) {
  std::vector<Change> changes;
  for (const auto& [name, record] : after) {
    auto old = before.find(name);
    if (old == before.end()) {
      changes.push_back({"new", name, record.value});
    } else if (!Same(old->second, record)) {
      changes.push_back({"set", name, record.value});
    }
  }
  for (const auto& [name, record] : before) {
    if (!after.count(name)) changes.push_back({"deleted", name, std::nullopt});
  }
  return changes;
}

void ReportClass(View view, bool json, const std::vector<Change>& changes,
                 Runner* runner) {
  if (runner) {
    for (const Change& change : changes) {
      Queue(runner, {ViewLabel(view), change.name, change.value});
    }
    return;
  }
  if (json) {
    Json list = Json::array();
    for (const Change& change : changes) {
      list.push_back({{"name", change.name},
                      {"change", change.kind},
                      {"value", TextJson(change.value)}});
    }
    PrintJson({{"class", ViewLabel(view)}, {"changes", list}});
  } else {
    std::cout << ViewWords(view) << " changed\n";
    for (const Change& change : changes) {
      std::cout << "  " << change.kind << ' ' << change.name;
      if (change.value) std::cout << '=' << *change.value;
      std::cout << '\n';
    }
  }
  std::cout.flush();
}

// An asynchronous watch of a class without a key never fires: an empty
// class, which may have none, is refused.
int WatchClass(View view, bool json, Runner* runner) {
  kx::UniqueHandle event = MakeEvent();
  if (!event) return Fail("cannot make an event");
  bool armed = ArmWatch(view, std::nullopt, event.get()) == 0;
  Snapshot before = Take(view);
  if (before.empty()) {
    return Fail(std::string("the ") + ViewWords(view) +
                " has no variables yet; nothing to watch");
  }
  if (!armed) return NotArmed();
  Tell(std::string("watching the ") + ViewWords(view) + "; Ctrl-C ends");
  for (;;) {
    Wake wake = AwaitChange({event.get()}, runner);
    if (wake.what == Wake::kStop) return kDone;
    if (wake.what == Wake::kError) return WaitFailed();
    if (ArmWatch(view, std::nullopt, event.get()) != 0) return NotArmed();
    Snapshot after = Take(view);
    ReportClass(view, json, Compare(before, after), runner);
    if (OutputFailed()) return OutputLost();
    before = std::move(after);
  }
}

}  // namespace

int RunWatch(const Args& args) {
  if (!args.exec.empty() && args.json) {
    Tell("--json and --exec exclude each other");
    return kUsage;
  }
  if (args.coalesce && args.exec.empty()) {
    Tell("--coalesce needs --exec");
    return kUsage;
  }
  StopSignals signals;
  View view = args.opt ? View::kOpt : View::kEnv;
  Runner runner{args.exec,
                std::chrono::milliseconds(args.coalesce.value_or(200)),
                {},
                std::nullopt,
                ""};
  Runner* exec = args.exec.empty() ? nullptr : &runner;
  return args.name ? WatchVariable(view, *args.name, args.json, exec)
                   : WatchClass(view, args.json, exec);
}

}  // namespace kxtool
