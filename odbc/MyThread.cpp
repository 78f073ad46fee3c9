#include "odbc/MyThread.h"

#include <chrono>

#include "odbc/Binding.h"

namespace tidewell {

TMyThread::TMyThread(SQLHSTMT StmtHandle_) : StmtHandle(StmtHandle_) {
  FThread = std::thread([this] { Execute(); });
}

TMyThread::~TMyThread() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FStop = true;
  }
  FWake.notify_all();
  if (FThread.joinable()) FThread.join();
}

void TMyThread::Run(std::string SQL, std::atomic<std::int32_t>* ResultSlot) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FSQL = std::move(SQL);
    FSlot = ResultSlot;
    FHasJob = true;
  }
  FWake.notify_all();
}

void TMyThread::Execute() {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    // Asleep until there is a job: a busy core goes to whoever needs it.
    FWake.wait(lock, [this] { return FHasJob || FStop; });
    if (!FHasJob) return;  // stopped with nothing to run
    std::string sql = std::move(FSQL);
    std::atomic<std::int32_t>* slot = FSlot;
    lock.unlock();
    std::int32_t ret = SQL_ERROR;
    try {
      ret = Odbc.SQLExecDirect(StmtHandle, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS);
    } catch (...) {
      ret = SQL_ERROR;
    }
    lock.lock();
    FHasJob = false;
    // Stored under the lock so a waiter that has just checked the slot
    // cannot miss the wake-up.
    slot->store(ret);
    FDone.notify_all();
  }
}

bool TMyThread::WaitForResult(std::uint32_t Ms) {
  std::unique_lock<std::mutex> lock(FLock);
  return FDone.wait_for(lock, std::chrono::milliseconds(Ms),
                        [this] { return !FHasJob; });
}

}  // namespace tidewell
