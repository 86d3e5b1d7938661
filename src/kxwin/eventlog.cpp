// The event log: the system log stands in for it. A source handle names
// the ident that the lines carry; the log is opened once per process with
// the ident of the first source registered.
#include <syslog.h>

#include <mutex>
#include <string>

#include "handles.h"
#include "internal.h"

namespace kxwin {
namespace {

struct EventSource {
  std::string name;
};

int Priority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

}  // namespace
}  // namespace kxwin

using namespace kxwin;

HANDLE RegisterEventSourceA(LPCSTR server, LPCSTR source) {
  if (server || !source || !*source) {
    SetLastError(server ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
    auto event_source = std::make_shared<EventSource>(EventSource{source});
    // openlog keeps the pointer it is given; the first name stays alive in
    // a string that is never freed.
    static std::once_flag once;
    std::call_once(once, [&] {
      openlog((new std::string(source))->c_str(), LOG_PID, LOG_USER);
    });
    return InsertHandle(HandleKind::kEventSource, std::move(event_source));
  });
}

BOOL ReportEventA(HANDLE log, WORD type, WORD, DWORD event_id, void*,
                  WORD count, DWORD, LPCSTR* strings, LPVOID) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    auto source = Lookup<EventSource>(log, HandleKind::kEventSource);
    if (!source) return FALSE;
    std::string text;
    for (WORD i = 0; strings && i < count; ++i) {
      if (!strings[i]) continue;
      if (!text.empty()) text += ' ';
      text += strings[i];
    }
    syslog(Priority(type), "%s[%u]: %s", source->name.c_str(), event_id,
           text.c_str());
    return TRUE;
  });
}

BOOL DeregisterEventSource(HANDLE log) {
  return RemoveHandle(log, HandleKind::kEventSource) != nullptr;
}
