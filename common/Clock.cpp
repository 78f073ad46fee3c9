#include "common/Clock.h"

#include <chrono>
#include <ctime>
#include <mutex>

namespace tidewell {
namespace {

std::function<TDateTime()>& Source() {
  static std::function<TDateTime()> source;
  return source;
}

TDateTime SystemNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t secs = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  {
    // std::localtime shares one static result; this is its only caller.
    static std::mutex guard;
    std::lock_guard<std::mutex> lock(guard);
    local = *std::localtime(&secs);
  }
  return CombineDateTime(
      EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
      EncodeTime(local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec, static_cast<int>(ms)));
}

}  // namespace

TDateTime Now() {
  const auto& source = Source();
  return source ? source() : SystemNow();
}

TDateTime Today() { return DateOf(Now()); }

void SetClockSource(std::function<TDateTime()> source) { Source() = std::move(source); }

}  // namespace tidewell
