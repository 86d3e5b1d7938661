// Trace lines and their sinks.
//
// KX_TRACE names the sink: unset or empty, nothing is recorded; "stderr";
// "syslog" (the event log); anything else is a file path to append to. In a
// file each line gets the local time, the process id, the thread id and the
// component in front:
//
//   2026-12-05 15:30:00.123 4711 4712 KXENV2 Initialize: enter
//
// KX_TRACE is read once per process (ReloadTraceSink reads it again).
// The whole line is formatted first and written with one call on a file
// opened for appending, so lines of several threads and processes never
// interleave. A line longer than kMaxLine is cut there.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "internal.h"

// This module's own trace of a registry without transacted calls.
KXWIN_TRACE_TRANSACTED_FALLBACK(SetTraceStringA);

namespace zrnapi {
namespace {

constexpr size_t kMaxLine = 8192;

// KX_TRACE is read at the first line of a process and again after
// ReloadTraceSink, not per line: a process that traces nothing pays one load
// and one branch per trace call.
enum SinkState { kUnread, kOff, kOn };
std::atomic<int> sink_state{kUnread};
std::mutex sink_lock;
std::string& sink_name = *new std::string;  // sink_lock; outlives exit

int ReadSink() {
  std::lock_guard guard(sink_lock);
  char buffer[MAX_PATH * 4];
  DWORD length = GetEnvironmentVariableA("KX_TRACE", buffer, sizeof buffer);
  bool on = length > 0 && length < sizeof buffer;
  sink_name.assign(on ? buffer : "", on ? length : 0);
  int state = on ? kOn : kOff;
  sink_state.store(state, std::memory_order_release);
  return state;
}

int CurrentSinkState() {
  int state = sink_state.load(std::memory_order_acquire);
  return state == kUnread ? ReadSink() : state;
}

std::string Sink() {
  std::lock_guard guard(sink_lock);
  return sink_name;
}

std::string Prefix(LPCSTR component) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char prefix[128];
  std::snprintf(
      prefix, sizeof prefix, "%04u-%02u-%02u %02u:%02u:%02u.%03u %lu %lu %s ",
      now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
      now.wMilliseconds, static_cast<unsigned long>(GetCurrentProcessId()),
      static_cast<unsigned long>(GetCurrentThreadId()), component);
  return prefix;
}

void ToEventLog(LPCSTR component, const std::string& line) {
  static std::mutex lock;
  std::lock_guard guard(lock);
  static HANDLE source = RegisterEventSourceA(nullptr, "kx-orrery");
  std::string text = std::string(component) + " " + line;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  LPCSTR strings[] = {text.c_str()};
  ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings,
               nullptr);
}

void Write(LPCSTR component, std::string line) {
  std::string sink = Sink();
  if (sink.empty()) return;
  if (line.empty() || line.back() != '\n') line += '\n';
  if (sink == "syslog") return ToEventLog(component, line);
  line = Prefix(component) + line;
  if (sink == "stderr") {
    std::fwrite(line.data(), 1, line.size(), stderr);  // unbuffered: one write
    return;
  }
  AppendToFile(sink, line);
}

}  // namespace
}  // namespace zrnapi

BOOL IsTraceOn(void) {
  return zrnapi::CurrentSinkState() == zrnapi::kOn;
}

void ReloadTraceSink(void) {
  try {
    zrnapi::ReadSink();
  } catch (...) {
    // Tracing never fails its caller.
  }
}

void SetTraceStringA(LPCSTR component, LPCSTR format, ...) {
  if (zrnapi::sink_state.load(std::memory_order_acquire) == zrnapi::kOff) {
    return;
  }
  if (!format) return;
  try {
    if (zrnapi::CurrentSinkState() != zrnapi::kOn) return;
    char line[zrnapi::kMaxLine];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    zrnapi::Write(component ? component : "-", line);
  } catch (...) {
    // Tracing never fails its caller.
  }
}
