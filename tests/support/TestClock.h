// Puts the program's clock under a test's control for the test's lifetime:
// time stands still at the value set, and moves only when told to.
#pragma once

#include <atomic>

#include "common/DateTime.h"

namespace tidewell::test {

class TTestClock {
 public:
  explicit TTestClock(TDateTime start);
  ~TTestClock();
  void Set(TDateTime value) { FNow.store(value); }
  void AdvanceDays(double days) { FNow.store(FNow.load() + days); }
  TDateTime Get() const { return FNow.load(); }

 private:
  std::atomic<double> FNow;
};

}  // namespace tidewell::test
