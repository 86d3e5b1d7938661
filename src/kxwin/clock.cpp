// Clocks: the deadlines of timed waits, sleeping, and the time of day.
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "internal.h"

namespace kxwin {
namespace {

void FillSystemTime(bool local, LPSYSTEMTIME out) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts;
  if (local) {
    localtime_r(&now.tv_sec, &parts);
  } else {
    gmtime_r(&now.tv_sec, &parts);
  }
  *out = {static_cast<WORD>(parts.tm_year + 1900),
          static_cast<WORD>(parts.tm_mon + 1),
          static_cast<WORD>(parts.tm_wday),
          static_cast<WORD>(parts.tm_mday),
          static_cast<WORD>(parts.tm_hour),
          static_cast<WORD>(parts.tm_min),
          static_cast<WORD>(parts.tm_sec),
          static_cast<WORD>(now.tv_nsec / 1000000)};
}

}  // namespace

timespec ClockAfter(clockid_t clock, DWORD milliseconds) {
  timespec t;
  clock_gettime(clock, &t);
  t.tv_sec += milliseconds / 1000;
  t.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
  if (t.tv_nsec >= 1000000000) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000;
  }
  return t;
}

}  // namespace kxwin

using namespace kxwin;

void GetLocalTime(LPSYSTEMTIME time) {
  if (time) FillSystemTime(true, time);
}

void GetSystemTime(LPSYSTEMTIME time) {
  if (time) FillSystemTime(false, time);
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) pause();
  }
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
