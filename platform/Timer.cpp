#include "platform/Timer.h"

namespace platform {

TTimer::TTimer() : FOwner(CurrentThreadId()) { EnsureMessageQueue(); }

TTimer::~TTimer() {
  std::lock_guard<std::mutex> lock(FLock);
  if (FId) KillTimer(FOwner, FId);
  FId = 0;
}

void TTimer::SetEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(FLock);
  FEnabled = enabled;
  Update();
}

bool TTimer::Enabled() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FEnabled;
}

void TTimer::SetInterval(std::uint32_t intervalMs) {
  std::lock_guard<std::mutex> lock(FLock);
  FInterval = intervalMs;
  Update();
}

std::uint32_t TTimer::Interval() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FInterval;
}

// Like the desktop component: any change of state kills the running timer
// and, when still enabled with a non-zero interval, starts a fresh period.
void TTimer::Update() {
  if (FId) {
    KillTimer(FOwner, FId);
    FId = 0;
  }
  if (FEnabled && FInterval > 0) FId = SetTimer(FOwner, FInterval, [this] { Tick(); });
}

void TTimer::Tick() {
  std::function<void()> handler;
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FEnabled) return;
    handler = OnTimer;
  }
  if (handler) handler();
}

}  // namespace platform
