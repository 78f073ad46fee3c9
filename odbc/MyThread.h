// TMyThread: runs one SQLExecDirect off the caller's thread.
//
// The worker stores the call's return code in the caller's result slot
// exactly once (SQL_ERROR if the call threw) and wakes the caller at once;
// the caller waits in short slices so that it can do other duties (service
// requests, cancellation) between them. The caller must Join the worker
// before destroying it.
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

  TMyThread(SQLHSTMT StmtHandle, std::string SQL, std::atomic<std::int32_t>* ResultSlot);
  virtual ~TMyThread();
  TMyThread(const TMyThread&) = delete;
  TMyThread& operator=(const TMyThread&) = delete;

  SQLHSTMT StmtHandle;
  std::string SQL;
  std::atomic<std::int32_t>* ResultSlot;
  std::int32_t ReturnValue = Pending;

  void Start();
  // Waits at most Ms milliseconds for the result; true once it is stored.
  bool WaitForResult(std::uint32_t Ms);
  void Join();

 private:
  void Execute();

  std::thread FThread;
  std::mutex FLock;
  std::condition_variable FDone;
};

}  // namespace tidewell
