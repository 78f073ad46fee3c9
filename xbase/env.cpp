#include "xbase/env.h"

#include "common/Calendar.h"

#include <chrono>

namespace xbase {

Env& Env::System() {
  static Env system;
  return system;
}

std::unique_ptr<OsFile> Env::Open(const std::string& path, OsFile::Access access, std::string* error) {
  return OsFile::Open(path, access, error);
}

std::unique_ptr<OsFile> Env::Create(const std::string& path, bool exclusive, std::string* error) {
  return OsFile::Create(path, exclusive, error);
}

int64_t Env::MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t Env::UnixSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

LocalDate Env::UtcToday() {
  const int64_t seconds = UnixSeconds();
  // Whole days since 1970-01-01, rounded down.
  const int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  const auto date = tidewell::calendar::DateOfDaysSinceUnixEpoch(days);
  return {date.Year, date.Month, date.Day};
}

}  // namespace xbase
