// A timer component: created on the thread whose message loop it ticks on,
// it can be enabled, disabled and given a new interval from any thread.
// Ticks run the handler on the owner thread, one at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/Messages.h"

namespace platform {

class TTimer {
 public:
  // The owner is the creating thread; its default interval is 1000 ms.
  TTimer();
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  std::function<void()> OnTimer;

  void SetEnabled(bool enabled);
  bool Enabled() const;
  void SetInterval(std::uint32_t intervalMs);
  std::uint32_t Interval() const;
  TThreadId Owner() const { return FOwner; }

 private:
  void Update();  // caller holds FLock
  void Tick();

  mutable std::mutex FLock;
  TThreadId FOwner;
  TTimerId FId = 0;
  bool FEnabled = false;
  std::uint32_t FInterval = 1000;
};

}  // namespace platform
