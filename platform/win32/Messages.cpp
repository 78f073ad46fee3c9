// Thread queues on Windows are the system's own thread message queues:
// PostThreadMessageA posts, GetMessageA/PeekMessageA take, and a thread that
// has ended has no queue to post to. Thread identifiers are the system's; it
// may give the number of an ended thread to a new one, so a poster must not
// outlive its interest in a thread (the host's threads all live as long as
// the service does).
//
// Timers are kept in a table per thread rather than as window timers: a
// window timer can only be set by the thread it ticks on, while TTimer is
// enabled from the service thread. The owner's wait includes the earliest due
// time (MsgWaitForMultipleObjectsEx), and a due timer is taken only when no
// posted message is waiting, as window timers are. A change made from another
// thread wakes the owner with an empty message, which is never returned.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/Messages.h"
#include "platform/TimerTable.h"

namespace platform {
namespace {

using Clock = TTimerTable::Clock;

struct TimerTable {
  std::mutex Lock;
  TTimerTable Timers;
};

std::mutex RegistryLock;
std::map<TThreadId, std::shared_ptr<TimerTable>>& Registry() {
  static auto* registry = new std::map<TThreadId, std::shared_ptr<TimerTable>>();
  return *registry;
}


// Removes the thread's timer table when the thread ends.
struct ThreadSlot {
  std::shared_ptr<TimerTable> Own;
  ~ThreadSlot() {
    if (Own) {
      std::lock_guard<std::mutex> lock(RegistryLock);
      Registry().erase(GetCurrentThreadId());
    }
  }
};

std::shared_ptr<TimerTable> OwnTable() {
  thread_local ThreadSlot slot;
  if (!slot.Own) {
    slot.Own = std::make_shared<TimerTable>();
    std::lock_guard<std::mutex> lock(RegistryLock);
    Registry()[GetCurrentThreadId()] = slot.Own;
  }
  return slot.Own;
}

std::shared_ptr<TimerTable> TableOf(TThreadId thread) {
  if (thread == GetCurrentThreadId()) return OwnTable();
  std::lock_guard<std::mutex> lock(RegistryLock);
  auto it = Registry().find(thread);
  return it == Registry().end() ? nullptr : it->second;
}

void Wake(TThreadId thread) {
  if (thread != GetCurrentThreadId()) PostThreadMessageA(static_cast<DWORD>(thread), WM_NULL, 0, 0);
}

TMessage FromMsg(const MSG& msg) {
  return TMessage{msg.message, static_cast<std::uintptr_t>(msg.wParam), static_cast<std::intptr_t>(msg.lParam)};
}

// The earliest due timer as a MsgTimer (and its next period started when
// remove is set); otherwise the milliseconds until one is due, or INFINITE.
bool TakeDueTimer(TMessage& out, bool remove, DWORD& waitMs) {
  auto table = OwnTable();
  std::lock_guard<std::mutex> lock(table->Lock);
  waitMs = INFINITE;
  std::optional<Clock::time_point> next;
  if (const TTimerId due = table->Timers.TakeDue(remove, next)) {
    out = TMessage{MsgTimer, due, 0};
    return true;
  }
  if (next) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now()).count() + 1;
    waitMs = static_cast<DWORD>(left < 1 ? 1 : left);
  }
  return false;
}

// A posted message other than the wake-up, taken or looked at.
bool TakePosted(TMessage& out, bool remove) {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
    if (msg.message == WM_NULL) {
      PeekMessageA(&msg, nullptr, WM_NULL, WM_NULL, PM_REMOVE);
      continue;
    }
    if (remove) PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
    out = FromMsg(msg);
    return true;
  }
  return false;
}

}  // namespace

TThreadId CurrentThreadId() { return GetCurrentThreadId(); }

void EnsureMessageQueue() {
  // The system makes a thread's queue on its first call to a message function.
  MSG msg;
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  OwnTable();
}

bool PostToThread(TThreadId thread, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  return PostThreadMessageA(static_cast<DWORD>(thread), message, static_cast<WPARAM>(wParam),
                            static_cast<LPARAM>(lParam)) != 0;
}

void PostQuitMessage(int exitCode) {
  EnsureMessageQueue();
  ::PostQuitMessage(exitCode);
}

int GetNextMessage(TMessage& message) {
  EnsureMessageQueue();
  for (;;) {
    if (TakePosted(message, true)) return message.Message == MsgQuit ? 0 : 1;
    DWORD waitMs = INFINITE;
    if (TakeDueTimer(message, true, waitMs)) return 1;
    MsgWaitForMultipleObjectsEx(0, nullptr, waitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

bool PeekNextMessage(TMessage& message, bool remove) {
  EnsureMessageQueue();
  if (TakePosted(message, remove)) return true;
  DWORD waitMs;
  return TakeDueTimer(message, remove, waitMs);
}

void DispatchNextMessage(const TMessage& message) {
  if (message.Message != MsgTimer) return;
  auto table = OwnTable();
  std::shared_ptr<std::function<void()>> handler;
  {
    std::lock_guard<std::mutex> lock(table->Lock);
    handler = table->Timers.Handler(message.WParam);
  }
  if (handler && *handler) (*handler)();
}

TTimerId SetTimer(TThreadId owner, std::uint32_t intervalMs, std::function<void()> handler) {
  auto table = TableOf(owner);
  if (!table) return 0;
  const TTimerId id = TTimerTable::NewId();
  {
    std::lock_guard<std::mutex> lock(table->Lock);
    table->Timers.Set(id, intervalMs, std::move(handler));
  }
  Wake(owner);
  return id;
}

bool ResetTimer(TThreadId owner, TTimerId timer, std::uint32_t intervalMs) {
  auto table = TableOf(owner);
  if (!table) return false;
  {
    std::lock_guard<std::mutex> lock(table->Lock);
    if (!table->Timers.Reset(timer, intervalMs)) return false;
  }
  Wake(owner);
  return true;
}

bool KillTimer(TThreadId owner, TTimerId timer) {
  auto table = TableOf(owner);
  if (!table) return false;
  std::lock_guard<std::mutex> lock(table->Lock);
  return table->Timers.Kill(timer);
}

}  // namespace platform
