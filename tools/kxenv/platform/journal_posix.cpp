// The journal through kxwin's calls: the store keeps it in registry.db.
#include "journal.h"
#include "kxwin/kxwin.h"
#include "zrnapi/zrnapi.h"

namespace kxtool {
namespace {

StoredValue Copy(const KXWIN_JOURNAL_DATA& data) {
  if (!data.present) return {};
  const char* bytes = reinterpret_cast<const char*>(data.data);
  return {true, data.type, std::string(bytes, bytes ? data.size : 0)};
}

std::optional<std::string> Copy(const char* text) {
  if (!text) return std::nullopt;
  return std::string(text);
}

Entry Copy(const KXWIN_JOURNAL_ENTRY& from) {
  Entry to;
  to.id = from.id;
  to.time = from.time;
  to.user = from.user ? from.user : "";
  to.uid = from.uid;
  to.program = from.program ? from.program : "";
  to.pid = from.pid;
  to.machine = from.machine ? from.machine : "";
  to.key = from.key ? from.key : "";
  to.value_name = from.value_name ? from.value_name : "";
  to.old_value = Copy(from.old_value);
  to.new_value = Copy(from.new_value);
  to.fleet = Copy(from.fleet);
  to.revision = from.revision;
  to.origin = Copy(from.origin);
  return to;
}

BOOL Each(const KXWIN_JOURNAL_ENTRY* entry, void* context) {
  auto& each = *static_cast<const std::function<bool(const Entry&)>*>(context);
  return each(Copy(*entry)) ? TRUE : FALSE;
}

std::string Reason(DWORD status) {
  if (status == ERROR_SUCCESS) return "";
  SetLastError(status);
  const char* text = SetAndGetLastErrorMsg();
  return text && *text ? text : "error " + std::to_string(status);
}

}  // namespace

std::string ReadJournal(const Filter& filter,
                        const std::function<bool(const Entry&)>& each) {
  KXWIN_JOURNAL_FILTER selected{};
  if (filter.key) selected.key = filter.key->c_str();
  selected.subtree = filter.subtree;
  selected.before = filter.before;
  selected.since = filter.since;
  selected.until = filter.until;
  if (filter.user) selected.user = filter.user->c_str();
  return Reason(KxwinReadJournal(
      &selected, Each, const_cast<void*>(static_cast<const void*>(&each))));
}

std::string ReadJournalState(JournalState* state) {
  KXWIN_JOURNAL_INFO info;
  DWORD status = KxwinJournalInfo(&info);
  if (status != ERROR_SUCCESS) return Reason(status);
  *state = {{info.keep_entries, info.keep_days},
            info.oldest,
            info.newest,
            info.pruned};
  return "";
}

std::string SetJournalBounds(const Bounds& keep) {
  return Reason(KxwinJournalBounds(keep.entries, keep.days));
}

}  // namespace kxtool
