#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "platform/System.h"
#include "platform/Timer.h"

using namespace platform;

TEST(ThreadMessages, PostedMessagesArriveInOrderAndQuitComesLast) {
  std::atomic<TThreadId> id{0};
  std::vector<std::uintptr_t> seen;
  int quitResult = -1;
  std::thread worker([&] {
    EnsureMessageQueue();
    id = CurrentThreadId();
    TMessage m;
    while ((quitResult = GetNextMessage(m)) != 0) seen.push_back(m.WParam);
  });
  while (!id) std::this_thread::yield();
  for (std::uintptr_t i = 1; i <= 100; ++i) ASSERT_TRUE(PostToThread(id, MsgUser + 1, i, 0));
  ASSERT_TRUE(PostToThread(id, MsgQuit, 0, 0));
  worker.join();
  ASSERT_EQ(seen.size(), 100u);
  for (std::uintptr_t i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i + 1);
  EXPECT_EQ(quitResult, 0);
  // The thread has gone: its queue with it.
  EXPECT_FALSE(PostToThread(id, MsgUser, 0, 0));
}

TEST(ThreadMessages, PeekTakesWithoutWaitingAndQuitMessageIsDeliveredAfterQueuedOnes) {
  EnsureMessageQueue();
  TMessage m;
  EXPECT_FALSE(PeekNextMessage(m, true));
  PostToThread(CurrentThreadId(), MsgUser + 1, 7, 0);
  PostQuitMessage(3);
  ASSERT_TRUE(PeekNextMessage(m, false));
  EXPECT_EQ(m.WParam, 7u);
  ASSERT_TRUE(PeekNextMessage(m, true));
  EXPECT_EQ(m.Message, MsgUser + 1);
  ASSERT_TRUE(PeekNextMessage(m, true));
  EXPECT_EQ(m.Message, MsgQuit);
  EXPECT_EQ(m.WParam, 3u);
  EXPECT_FALSE(PeekNextMessage(m, true));
}

TEST(Timers, TicksRunOnTheOwnerThreadOnlyWhenItDispatches) {
  TTimer timer;  // owned by this thread
  std::atomic<int> ticks{0};
  TThreadId tickThread = 0;
  timer.OnTimer = [&] {
    tickThread = CurrentThreadId();
    ++ticks;
  };
  // A period long enough that no second tick falls due between the dispatch
  // and the look after it, even on a busy machine under wine.
  timer.SetInterval(150);
  // Enabled from another thread, as the service thread does.
  std::thread([&] { timer.SetEnabled(true); }).join();
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(ticks, 0) << "a tick ran without the owner's loop";
  TMessage m;
  // Many periods have passed, but one due timer gives one tick.
  ASSERT_TRUE(PeekNextMessage(m, true));
  EXPECT_EQ(m.Message, MsgTimer);
  DispatchNextMessage(m);
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(tickThread, CurrentThreadId());
  EXPECT_FALSE(PeekNextMessage(m, true));
  timer.SetEnabled(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(PeekNextMessage(m, true));
}

TEST(Timers, NewIntervalStartsAFullPeriodFromNow) {
  TTimer timer;
  int ticks = 0;
  timer.OnTimer = [&] { ++ticks; };
  timer.SetInterval(50);
  timer.SetEnabled(true);
  const auto start = std::chrono::steady_clock::now();
  TMessage m;
  ASSERT_EQ(GetNextMessage(m), 1);
  DispatchNextMessage(m);
  const auto first = std::chrono::steady_clock::now() - start;
  EXPECT_GE(first, std::chrono::milliseconds(45));
  timer.SetInterval(150);
  const auto rearmed = std::chrono::steady_clock::now();
  ASSERT_EQ(GetNextMessage(m), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - rearmed, std::chrono::milliseconds(145));
  DispatchNextMessage(m);
  EXPECT_EQ(ticks, 2);
  timer.SetEnabled(false);
}
