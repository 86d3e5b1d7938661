// The reconcile step of the fleet agent: what the etcd events, the local
// store and the state last agreed with etcd mean for both sides. Pure: no
// store, no network, so that each rule can be checked on its own.
//
// An item is one thing the fleet shares, named by its key below the fleet
// prefix: "global/NAME" (a Global value), "sensitive/NAME" (the scrambled
// Global value of a sensitive variable, hex), "def/ENV/NAME" and
// "def/OPT/NAME" (a definition), "app/NAME" (an application and its
// memberships). Its value is the text etcd holds.
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
// no entry.
struct Agreed {
  int64_t revision = 0;
  std::string value;
};
using AgreedMap = std::map<std::string, Agreed>;

// One change in etcd; `value` is empty for a delete.
struct Event {
  std::string key;
  bool deleted = false;
  std::string value;
  int64_t revision = 0;
};

struct Input {
  std::vector<Event> events;  // in revision order
  // The events are the whole prefix as read at one revision (first start,
  // resync after compaction, --once): an agreed item that is not among them
  // was deleted in etcd.
  bool whole = false;
  Items local;                      // the shared items of the local store
  std::set<std::string> sensitive;  // names of the locally sensitive variables
  bool secure = false;  // TLS and authentication: sensitive values travel
  AgreedMap agreed;
};

// A write to the local store; no value removes the item.
struct LocalWrite {
  std::string key;
  std::optional<std::string> value;
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
  std::string lost;  // the local value; empty when it was a local delete
};

struct Plan {
  std::vector<LocalWrite> writes;
  std::vector<Publication> publications;
  std::vector<Conflict> conflicts;
  AgreedMap agreed;  // after the writes, before the publications succeed
};

// Whether an item may travel at all: sensitive values only with `secure`,
// and never as plain Global values of a locally sensitive variable.
bool Travels(const std::string& key, const std::set<std::string>& sensitive,
             bool secure);

Plan Reconcile(const Input& input);

}  // namespace kxsync
