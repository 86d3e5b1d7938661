// Windows has no fork(): nothing to register.
#include "internal.h"

void WatchForForks(const ForkSteps&) {}
