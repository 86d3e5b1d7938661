// The reconcile step of the fleet agent: what the etcd events, the local
// store and the state last agreed with etcd mean for both sides. Pure: no
// store, no network, so that each rule can be checked on its own.
//
// An item is one thing the fleet shares, named by its key below the fleet
// prefix: "global/NAME" (a Global value), "sensitive/NAME" (the scrambled
// Global value of a sensitive variable, hex), "def/ENV/NAME" and
// "def/OPT/NAME" (a definition), "app/NAME" (an application and its
// memberships). Its value is the text etcd holds. Every item passes the
// checks of validate.h on its way in and on its way out.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kxsync {

using Items = std::map<std::string, std::string>;

// What local store and etcd last agreed on: the value, and the etcd
// mod_revision of the key when they did. An item they agree is absent has
// no entry. An entry without a value says that etcd's item at `revision`
// was refused and that this machine holds none: a local value set later is
// published over it.
struct Agreed {
  int64_t revision = 0;
  std::optional<std::string> value;
};
using AgreedMap = std::map<std::string, Agreed>;

// An item of etcd that this machine refused, and why.
struct Refusal {
  int64_t revision = 0;
  std::string reason;
};
using Refusals = std::map<std::string, Refusal>;

// One change in etcd; `value` is empty for a delete. `origin` names the
// machine whose agent published it, when it did.
struct Event {
  std::string key;
  bool deleted = false;
  std::string value;
  int64_t revision = 0;
  std::string origin;
};

struct Input {
  std::vector<Event> events;  // in revision order
  // The events are the whole prefix as read at one revision (first start,
  // resync after compaction, --once): an agreed item that is not among them
  // was deleted in etcd.
  bool whole = false;
  Items local;                      // the shared items of the local store
  Items unreadable;                 // local items that cannot travel: why
  std::set<std::string> sensitive;  // names of the locally sensitive variables
  bool secure = false;   // TLS and authentication: sensitive values travel
  bool validate = true;  // Global values must lie within their definition
  AgreedMap agreed;
  Refusals refused;  // as refused so far
};

// A write to the local store; no value removes the item.
struct LocalWrite {
  std::string key;
  std::optional<std::string> value;
  int64_t revision = 0;  // the event's
  std::string origin;    // the event's, when known
};

// A transaction for etcd: if the key's mod_revision is still `expected`
// (0: the key does not exist), put `value`, or delete without one.
struct Publication {
  std::string key;
  int64_t expected = 0;
  std::optional<std::string> value;
};

// A local change that etcd's newer value overwrote.
struct Conflict {
  std::string key;
  std::string lost;    // the local value; empty when it was a local delete
  std::string origin;  // the machine whose value won, when known
};

// A local item that is not published, and why.
struct Held {
  std::string key;
  std::string reason;
};

struct Plan {
  std::vector<LocalWrite> writes;
  std::vector<Publication> publications;
  std::vector<Conflict> conflicts;
  // Items refused in this round for the first time (each said once).
  std::vector<std::pair<std::string, Refusal>> refusals;
  std::vector<Held> held;
  std::vector<std::string> cleared;  // refusals that a later change ended
  AgreedMap agreed;  // after the writes, before the publications succeed
  Refusals refused;
};

// Whether a local item is shared at all: sensitive values only with
// `secure`, and never as plain Global values of a locally sensitive
// variable.
bool Travels(const std::string& key, const std::set<std::string>& sensitive,
             bool secure);

Plan Reconcile(const Input& input);

// Turns the local write of `write` into a refusal for `reason` (the store
// could not take it): its agreement moves to the event's revision and
// keeps what the store holds.
void RefuseWrite(const Input& input, const LocalWrite& write,
                 const std::string& reason, Plan& plan);

}  // namespace kxsync
