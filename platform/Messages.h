// Per-thread message queues and timers, the way the service host and the
// service module hand work between threads:
//  - every thread may own one queue (made on first use, or by EnsureMessageQueue);
//  - PostToThread appends to another thread's queue and wakes it;
//  - GetNextMessage blocks for the next message, PeekNextMessage takes one without waiting;
//  - a quit message (MsgQuit) makes GetNextMessage return 0;
//  - a timer belongs to one thread and shows up in that thread's queue as
//    MsgTimer when it is due and nothing else is queued; a due timer produces
//    one MsgTimer however long it waits, and its period restarts when that
//    message is taken. DispatchNextMessage runs the timer's handler on the taking
//    thread, so ticks never overlap and never run on another thread.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

using TThreadId = std::uint64_t;
using TTimerId = std::uintptr_t;

inline constexpr std::uint32_t MsgQuit = 0x0012;
inline constexpr std::uint32_t MsgTimer = 0x0113;
inline constexpr std::uint32_t MsgUser = 0x0400;

struct TMessage {
  std::uint32_t Message = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;
};

// Identifier of the calling thread, unique for the life of the process.
TThreadId CurrentThreadId();

// Makes sure the calling thread has a queue that others can post to.
void EnsureMessageQueue();

// False when the target thread has no queue (never made one, or has ended).
bool PostToThread(TThreadId thread, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

// Posts MsgQuit with the exit code to the calling thread's queue; it is
// delivered after the messages already queued.
void PostQuitMessage(int exitCode);

// Blocks until a message is available. Returns 0 for MsgQuit, otherwise 1.
int GetNextMessage(TMessage& message);

// Takes (remove = true) or looks at the next message without waiting.
bool PeekNextMessage(TMessage& message, bool remove);

// Runs what the message stands for on the calling thread: a MsgTimer runs its
// timer's handler; other messages have no handler (there are no windows).
void DispatchNextMessage(const TMessage& message);

// Starts or restarts a timer on the given owner thread's queue. The handler
// runs on the owner thread when it dispatches the MsgTimer message. A zero
// interval is treated as 1 ms.
TTimerId SetTimer(TThreadId owner, std::uint32_t intervalMs, std::function<void()> handler);
// Restarts an existing timer with a new interval; false when it does not exist.
bool ResetTimer(TThreadId owner, TTimerId timer, std::uint32_t intervalMs);
// Stops a timer; a MsgTimer already taken still dispatches to nothing.
bool KillTimer(TThreadId owner, TTimerId timer);

}  // namespace platform
