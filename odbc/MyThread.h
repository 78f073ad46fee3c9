// TMyThread: runs SQLExecDirect off the caller's thread.
//
// One worker serves one statement for the statement's life: each Run hands
// it one text, the worker stores the call's return code in the caller's
// result slot exactly once (SQL_ERROR if the call threw) and wakes the
// caller at once; the caller waits in short slices so that it can do other
// duties (service requests, cancellation) between them. Both sides sleep on
// a condition while they wait; neither spins. Keeping the thread instead of
// starting one per execution takes the thread start out of every statement.
// The destructor waits for a call in progress and ends the thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "odbc/SqlHeaders.h"

namespace tidewell {

class TMyThread {
 public:
  // Value of the result slot until the worker has stored the return code.
  static constexpr std::int32_t Pending = -99;

  explicit TMyThread(SQLHSTMT StmtHandle);
  virtual ~TMyThread();
  TMyThread(const TMyThread&) = delete;
  TMyThread& operator=(const TMyThread&) = delete;

  SQLHSTMT StmtHandle;

  // Starts SQLExecDirect of SQL on the worker; the return code will be
  // stored in *ResultSlot, which must hold Pending and outlive the call.
  void Run(std::string SQL, std::atomic<std::int32_t>* ResultSlot);
  // Waits at most Ms milliseconds for the result; true once it is stored.
  bool WaitForResult(std::uint32_t Ms);

 private:
  void Execute();

  std::thread FThread;
  std::mutex FLock;
  std::condition_variable FWake;   // a job or the end for the worker
  std::condition_variable FDone;   // a result for the caller
  std::string FSQL;
  std::atomic<std::int32_t>* FSlot = nullptr;
  bool FHasJob = false;
  bool FStop = false;
};

}  // namespace tidewell
