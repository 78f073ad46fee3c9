// TTimerTable: the timers of one thread, for the message queue code of each
// system. Not locked: the queue that holds it serialises access.
//
// A timer is due once its period has passed; taking it starts a new period
// from the moment it was taken, so a timer that waited long ticks once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "platform/Messages.h"

namespace platform {

class TTimerTable {
 public:
  using Clock = std::chrono::steady_clock;

  // Identifiers are unique in the process, whichever thread owns the timer.
  static TTimerId NewId() {
    static std::atomic<TTimerId> next{1};
    return next.fetch_add(1);
  }

  void Set(TTimerId id, std::uint32_t intervalMs, std::function<void()> handler) {
    if (intervalMs == 0) intervalMs = 1;
    FTimers[id] = Entry{intervalMs, Clock::now() + std::chrono::milliseconds(intervalMs),
                        std::make_shared<std::function<void()>>(std::move(handler))};
  }

  bool Reset(TTimerId id, std::uint32_t intervalMs) {
    auto it = FTimers.find(id);
    if (it == FTimers.end()) return false;
    if (intervalMs == 0) intervalMs = 1;
    it->second.Interval = intervalMs;
    it->second.Due = Clock::now() + std::chrono::milliseconds(intervalMs);
    return true;
  }

  bool Kill(TTimerId id) { return FTimers.erase(id) > 0; }

  // The earliest timer due now (its next period started when take is set),
  // or 0; nextDue then tells when the earliest timer comes due, if any.
  TTimerId TakeDue(bool take, std::optional<Clock::time_point>& nextDue) {
    nextDue.reset();
    Entry* earliest = nullptr;
    TTimerId earliestId = 0;
    for (auto& [id, t] : FTimers) {
      if (!earliest || t.Due < earliest->Due) {
        earliest = &t;
        earliestId = id;
      }
    }
    if (!earliest) return 0;
    const auto now = Clock::now();
    if (earliest->Due > now) {
      nextDue = earliest->Due;
      return 0;
    }
    if (take) earliest->Due = now + std::chrono::milliseconds(earliest->Interval);
    return earliestId;
  }

  // The handler to run for a taken timer; null when it was killed since.
  std::shared_ptr<std::function<void()>> Handler(TTimerId id) const {
    auto it = FTimers.find(id);
    return it == FTimers.end() ? nullptr : it->second.Handler;
  }

 private:
  struct Entry {
    std::uint32_t Interval = 1000;
    Clock::time_point Due;
    std::shared_ptr<std::function<void()>> Handler;
  };
  std::map<TTimerId, Entry> FTimers;
};

}  // namespace platform
