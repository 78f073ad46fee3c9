// Thread queues on POSIX: one queue object per thread, found through a
// process-wide registry so that other threads can post to it. A thread's
// queue is removed from the registry when the thread ends, after which posts
// to it fail as they do for a thread that has gone.
#include "platform/Messages.h"
#include "platform/TimerTable.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {
namespace {

using Clock = TTimerTable::Clock;

struct Queue {
  std::mutex Lock;
  std::condition_variable Ready;
  std::deque<TMessage> Posted;
  int QuitPending = 0;  // PostQuitMessage: delivered once the posted messages are gone
  int QuitCode = 0;
  TTimerTable Timers;
};

std::mutex RegistryLock;
std::map<TThreadId, std::shared_ptr<Queue>>& Registry() {
  static auto* registry = new std::map<TThreadId, std::shared_ptr<Queue>>();
  return *registry;
}

std::atomic<TThreadId> NextThreadId{1};

struct ThreadSlot {
  TThreadId Id = NextThreadId.fetch_add(1);
  std::shared_ptr<Queue> Own;
  ~ThreadSlot() {
    if (Own) {
      std::lock_guard<std::mutex> lock(RegistryLock);
      Registry().erase(Id);
    }
  }
};

ThreadSlot& Slot() {
  thread_local ThreadSlot slot;
  return slot;
}

std::shared_ptr<Queue> OwnQueue() {
  ThreadSlot& slot = Slot();
  if (!slot.Own) {
    slot.Own = std::make_shared<Queue>();
    std::lock_guard<std::mutex> lock(RegistryLock);
    Registry()[slot.Id] = slot.Own;
  }
  return slot.Own;
}

std::shared_ptr<Queue> QueueOf(TThreadId thread) {
  std::lock_guard<std::mutex> lock(RegistryLock);
  auto it = Registry().find(thread);
  return it == Registry().end() ? nullptr : it->second;
}

// Takes the next message; caller holds q.Lock. Posted messages first, then a
// pending quit, then the earliest due timer. Returns false when nothing is
// ready and sets nextDue to the time the earliest timer comes due (if any).
bool TakeReady(Queue& q, TMessage& out, bool remove, std::optional<Clock::time_point>& nextDue) {
  nextDue.reset();
  if (!q.Posted.empty()) {
    out = q.Posted.front();
    if (remove) q.Posted.pop_front();
    return true;
  }
  if (q.QuitPending) {
    out = TMessage{MsgQuit, static_cast<std::uintptr_t>(q.QuitCode), 0};
    if (remove) q.QuitPending = 0;
    return true;
  }
  if (const TTimerId due = q.Timers.TakeDue(remove, nextDue)) {
    out = TMessage{MsgTimer, due, 0};
    return true;
  }
  return false;
}

}  // namespace

TThreadId CurrentThreadId() { return Slot().Id; }

void EnsureMessageQueue() { OwnQueue(); }

bool PostToThread(TThreadId thread, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  auto q = QueueOf(thread);
  if (!q) return false;
  {
    std::lock_guard<std::mutex> lock(q->Lock);
    q->Posted.push_back(TMessage{message, wParam, lParam});
  }
  q->Ready.notify_all();
  return true;
}

void PostQuitMessage(int exitCode) {
  auto q = OwnQueue();
  std::lock_guard<std::mutex> lock(q->Lock);
  q->QuitPending = 1;
  q->QuitCode = exitCode;
}

int GetNextMessage(TMessage& message) {
  auto q = OwnQueue();
  std::unique_lock<std::mutex> lock(q->Lock);
  for (;;) {
    std::optional<Clock::time_point> due;
    if (TakeReady(*q, message, true, due)) return message.Message == MsgQuit ? 0 : 1;
    if (due)
      q->Ready.wait_until(lock, *due);
    else
      q->Ready.wait(lock);
  }
}

bool PeekNextMessage(TMessage& message, bool remove) {
  auto q = OwnQueue();
  std::lock_guard<std::mutex> lock(q->Lock);
  std::optional<Clock::time_point> due;
  return TakeReady(*q, message, remove, due);
}

void DispatchNextMessage(const TMessage& message) {
  if (message.Message != MsgTimer) return;
  auto q = OwnQueue();
  std::shared_ptr<std::function<void()>> handler;
  {
    std::lock_guard<std::mutex> lock(q->Lock);
    handler = q->Timers.Handler(message.WParam);
  }
  if (handler && *handler) (*handler)();
}

TTimerId SetTimer(TThreadId owner, std::uint32_t intervalMs, std::function<void()> handler) {
  auto q = owner == CurrentThreadId() ? OwnQueue() : QueueOf(owner);
  if (!q) return 0;
  const TTimerId id = TTimerTable::NewId();
  {
    std::lock_guard<std::mutex> lock(q->Lock);
    q->Timers.Set(id, intervalMs, std::move(handler));
  }
  q->Ready.notify_all();
  return id;
}

bool ResetTimer(TThreadId owner, TTimerId timer, std::uint32_t intervalMs) {
  auto q = QueueOf(owner);
  if (!q) return false;
  {
    std::lock_guard<std::mutex> lock(q->Lock);
    if (!q->Timers.Reset(timer, intervalMs)) return false;
  }
  q->Ready.notify_all();
  return true;
}

bool KillTimer(TThreadId owner, TTimerId timer) {
  auto q = QueueOf(owner);
  if (!q) return false;
  std::lock_guard<std::mutex> lock(q->Lock);
  return q->Timers.Kill(timer);
}

}  // namespace platform
