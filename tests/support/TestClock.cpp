#include "tests/support/TestClock.h"

#include "common/Clock.h"

namespace tidewell::test {

TTestClock::TTestClock(TDateTime start) : FNow(start) {
  SetClockSource([this] { return FNow.load(); });
}

TTestClock::~TTestClock() { SetClockSource(nullptr); }

}  // namespace tidewell::test
