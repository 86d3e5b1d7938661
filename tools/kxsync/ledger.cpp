// The entries are written by their own agents only, after rounds that
// applied remote items, and at most once a second: a put seen by every
// machine costs each of them an event of no item, which the agent passes
// over without a round. The lease (30 s, renewed every 10 s) takes the
// entry of a machine whose agent stopped or lost etcd out of the ledger.
#include "ledger.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "agent.h"
#include "validate.h"

namespace kxsync {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int64_t kLeaseSeconds = 30;
constexpr auto kRenewEvery = std::chrono::seconds(10);
constexpr auto kWriteEvery = std::chrono::seconds(1);
constexpr size_t kRoundsKept = 16;
constexpr int kShares[] = {50, 99, 100};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string EntryText(const LedgerEntry& entry) {
  json rounds = json::array();
  for (const auto& [revision, time] : entry.rounds) {
    rounds.push_back({revision, time});
  }
  return json{{"revision", entry.revision},
              {"hash", entry.hash},
              {"time", entry.time},
              {"version", entry.version},
              {"held", entry.held},
              {"refused", entry.refused},
              {"rounds", rounds}}
      .dump(-1, ' ', false, json::error_handler_t::replace);
}

bool ParseEntry(const std::string& text, LedgerEntry& entry) {
  json object = json::parse(text, nullptr, false);
  if (!object.is_object()) return false;
  try {
    entry.revision = object.at("revision").get<int64_t>();
    entry.hash = object.at("hash").get<std::string>();
    entry.time = object.at("time").get<int64_t>();
    entry.version = object.value("version", "");
    entry.held = object.value("held", 0u);
    entry.refused = object.value("refused", 0u);
    for (const json& round : object.value("rounds", json::array())) {
      entry.rounds.emplace_back(round.at(0).get<int64_t>(),
                                round.at(1).get<int64_t>());
    }
  } catch (const json::exception&) {
    return false;
  }
  return true;
}

// What --fleet-status tells of one machine.
struct Row {
  std::string machine;
  LedgerEntry entry;
  bool readable = false;
  int64_t lag = 0;         // revisions behind the newest item
  double lag_seconds = 0;  // since the first machine moved past it
  bool agrees = false;     // its hash is the majority's
};

// When a machine first reached `revision` (ms), or -1: from its kept
// rounds; the oldest kept round bounds an earlier one.
int64_t ReachedAt(const LedgerEntry& entry, int64_t revision) {
  if (entry.revision < revision) return -1;
  for (const auto& [reached, time] : entry.rounds) {
    if (reached >= revision) return time;
  }
  return entry.time;
}

void Judge(std::vector<Row>& rows, int64_t newest, int64_t now) {
  std::map<std::string, size_t> votes;
  for (const Row& row : rows) {
    if (row.readable) ++votes[row.entry.hash];
  }
  auto majority = std::max_element(
      votes.begin(), votes.end(),
      [](const auto& a, const auto& b) { return a.second < b.second; });
  for (Row& row : rows) {
    if (!row.readable) continue;
    row.agrees = majority != votes.end() && row.entry.hash == majority->first;
    row.lag = std::max<int64_t>(0, newest - row.entry.revision);
    int64_t first = -1;  // when another machine first moved past this one
    for (const Row& other : rows) {
      int64_t at =
          other.readable ? ReachedAt(other.entry, row.entry.revision + 1) : -1;
      if (at >= 0 && (first < 0 || at < first)) first = at;
    }
    if (row.lag > 0 && first >= 0) row.lag_seconds = (now - first) / 1000.0;
  }
}

// The moments `revision` reached 50, 99 and 100 % of the rows (-1: not
// yet).
std::vector<int64_t> Reached(const std::vector<Row>& rows, int64_t revision) {
  std::vector<int64_t> times;
  for (const Row& row : rows) {
    int64_t at = row.readable ? ReachedAt(row.entry, revision) : -1;
    if (at >= 0) times.push_back(at);
  }
  std::sort(times.begin(), times.end());
  std::vector<int64_t> shares;
  for (int share : kShares) {
    size_t needed = (rows.size() * share + 99) / 100;
    shares.push_back(needed > 0 && needed <= times.size() ? times[needed - 1]
                                                          : -1);
  }
  return shares;
}

std::string TimeOfDay(int64_t ms) {
  std::time_t seconds = ms / 1000;
  char text[32];
  std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&seconds));
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03d",
                static_cast<int>(ms % 1000));
  return std::string(text) + fraction;
}

void PrintJson(const Options& options, const std::vector<Row>& rows,
               int64_t etcd, int64_t newest, int64_t revision, int64_t now) {
  json machines = json::array();
  for (const Row& row : rows) {
    json item = {{"machine", row.machine}, {"readable", row.readable}};
    if (row.readable) {
      const LedgerEntry& e = row.entry;
      item.update({{"revision", e.revision},
                   {"lag", row.lag},
                   {"lag_seconds", row.lag_seconds},
                   {"hash", e.hash},
                   {"agrees", row.agrees},
                   {"refused", e.refused},
                   {"held", e.held},
                   {"time", e.time},
                   {"seen_seconds", (now - e.time) / 1000.0},
                   {"version", e.version}});
    }
    machines.push_back(item);
  }
  json out = {{"fleet", options.fleet},
              {"etcd_revision", etcd},
              {"items_revision", newest},
              {"machines", machines}};
  if (revision > 0) {
    json reached = {{"revision", revision}};
    std::vector<int64_t> times = Reached(rows, revision);
    for (size_t i = 0; i < times.size(); ++i) {
      std::string name = "p" + std::to_string(kShares[i]);
      reached[name] = times[i] < 0 ? json(nullptr) : json(times[i]);
    }
    out["reached"] = reached;
  }
  std::cout << out.dump(2, ' ', false, json::error_handler_t::replace)
            << std::endl;
}

void PrintText(const Options& options, const std::vector<Row>& rows,
               int64_t etcd, int64_t newest, int64_t revision, int64_t now) {
  std::printf(
      "fleet %s: %zu machines live; newest item at revision %lld "
      "(etcd at %lld)\n",
      options.fleet.c_str(), rows.size(), static_cast<long long>(newest),
      static_cast<long long>(etcd));
  std::printf("%-20s %9s %6s %8s %-8s %7s %5s %7s %s\n", "MACHINE", "REVISION",
              "LAG", "LAG (S)", "VALUES", "REFUSED", "HELD", "SEEN", "VERSION");
  for (const Row& row : rows) {
    const LedgerEntry& e = row.entry;
    std::string name = Printable(row.machine);
    if (!row.readable) {
      std::printf("%-20s (an entry this agent cannot read)\n", name.c_str());
      continue;
    }
    std::printf("%-20s %9lld %6lld %8.1f %-8s %7u %5u %5.0f s %s\n",
                name.c_str(), static_cast<long long>(e.revision),
                static_cast<long long>(row.lag), row.lag_seconds,
                row.agrees ? "agree" : "differ", e.refused, e.held,
                (now - e.time) / 1000.0, Printable(e.version).c_str());
  }
  if (revision <= 0) return;
  std::vector<int64_t> times = Reached(rows, revision);
  std::printf("revision %lld reached", static_cast<long long>(revision));
  for (size_t i = 0; i < times.size(); ++i) {
    std::printf(
        "%s %d %% %s", i ? "," : "", kShares[i],
        times[i] < 0 ? "not yet" : ("at " + TimeOfDay(times[i])).c_str());
  }
  std::printf(" of the live machines\n");
}

}  // namespace

std::string ValuesHash(const AgreedMap& agreed) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
  auto add = [&](const std::string& text) {
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    hash = (hash ^ 0xff) * 1099511628211ull;  // a separator no text holds
  };
  for (const auto& [key, entry] : agreed) {
    if (!entry.value) continue;
    add(key);
    add(*entry.value);
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx",
                static_cast<unsigned long long>(hash));
  return text;
}

void NoteRound(Ledger& ledger, int64_t revision, const std::string& hash,
               unsigned held, unsigned refused) {
  LedgerEntry& entry = ledger.entry;
  if (revision > entry.revision) {
    entry.revision = revision;
    entry.rounds.emplace_back(revision, NowMs());
    if (entry.rounds.size() > kRoundsKept)
      entry.rounds.erase(entry.rounds.begin());
    ledger.dirty = true;
  }
  if (hash != entry.hash || held != entry.held || refused != entry.refused) {
    entry.hash = hash;
    entry.held = held;
    entry.refused = refused;
    ledger.dirty = true;
  }
}

void ResetLedger(Ledger& ledger) {
  ledger.lease = 0;
  ledger.barred = false;
}

grpc::Status TendLedger(Ledger& ledger, Connection& connection,
                        const Options& options) {
  if (!options.ledger || ledger.barred) return grpc::Status::OK;
  auto now = Clock::now();
  grpc::Status status;
  if (ledger.lease == 0) {
    status = Grant(connection, kLeaseSeconds, ledger.lease);
    ledger.renewed = now;
    ledger.dirty = true;
  } else if (now - ledger.renewed >= kRenewEvery) {
    int64_t ttl = 0;
    status = KeepAlive(connection, ledger.lease, ttl);
    ledger.renewed = now;
    if (status.ok() && ttl <= 0) ledger.lease = 0;  // expired: a new one
  }
  if (status.ok() && ledger.lease != 0 && ledger.dirty &&
      now - ledger.written >= kWriteEvery) {
    ledger.entry.time = NowMs();
    ledger.entry.version = KXENV_VERSION;
    status = Put(connection, options.prefix() + "seen/" + options.machine,
                 EntryText(ledger.entry), ledger.lease);
    ledger.written = now;
    if (status.ok()) ledger.dirty = false;
  }
  if (!status.ok() && IsRefusal(status)) {
    ledger.barred = true;
    Say("etcd refused this machine's entry in the ledger (" +
        status.error_message() + "); --fleet-status will not list it");
    return grpc::Status::OK;
  }
  return status;
}

void DropLedger(Ledger& ledger, Connection& connection) {
  if (ledger.lease != 0) Revoke(connection, ledger.lease);
  ledger.lease = 0;
}

int FleetStatusCommand(const Options& options, bool as_json, int64_t revision) {
  Connection connection;
  if (!ConnectOrSay(options, connection)) return 1;
  std::vector<Event> entries, keys;
  int64_t etcd = 0;
  grpc::Status status =
      ReadPrefix(connection, options.prefix() + "seen/", entries, etcd);
  if (status.ok()) {
    status = ReadRange(connection, options.prefix(), options.prefix(),
                       RangeEnd(options.prefix()), true, keys, etcd);
  }
  if (!status.ok()) {
    Say("cannot read the ledger from " + connection.endpoint + ": " +
        status.error_message());
    return 1;
  }
  // A delete leaves no key but its origin/ entry, at the delete's revision.
  int64_t newest = 0;
  for (const Event& key : keys) {
    if (KindOf(key.key) != Kind::kOther || key.key.rfind("origin/", 0) == 0) {
      newest = std::max(newest, key.revision);
    }
  }
  std::vector<Row> rows;
  for (const Event& entry : entries) {
    Row row{entry.key, {}, false, 0, 0, false};
    row.readable = ParseEntry(entry.value, row.entry);
    rows.push_back(row);
  }
  int64_t now = NowMs();
  Judge(rows, newest, now);
  if (as_json) {
    PrintJson(options, rows, etcd, newest, revision, now);
  } else {
    PrintText(options, rows, etcd, newest, revision, now);
  }
  return 0;
}

}  // namespace kxsync
