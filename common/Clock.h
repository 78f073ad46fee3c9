// The one local clock of the program. Everything that stamps, names or
// compares by "now" or "today" asks here, so tests can move time (a weekday
// change for the log files, a midnight between two cycles) without waiting.
#pragma once

#include <functional>

#include "common/DateTime.h"

namespace tidewell {

// Local date and time now, to the millisecond.
TDateTime Now();
// Today's date, time of day 0.
TDateTime Today();

// Replaces the clock's source; an empty function restores the system clock.
// Meant for tests; not thread-safe against concurrent calls of Now().
void SetClockSource(std::function<TDateTime()> source);

}  // namespace tidewell
