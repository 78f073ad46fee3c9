#include "odbc/MyThread.h"

#include <chrono>

#include "odbc/Binding.h"

namespace tidewell {

TMyThread::TMyThread(SQLHSTMT StmtHandle_, std::string SQL_, std::atomic<std::int32_t>* ResultSlot_)
    : StmtHandle(StmtHandle_), SQL(std::move(SQL_)), ResultSlot(ResultSlot_) {}

TMyThread::~TMyThread() { Join(); }

void TMyThread::Start() { FThread = std::thread([this] { Execute(); }); }

void TMyThread::Execute() {
  std::int32_t ret = SQL_ERROR;
  try {
    ret = Odbc.SQLExecDirect(StmtHandle, reinterpret_cast<SQLCHAR*>(SQL.data()), SQL_NTS);
  } catch (...) {
    ret = SQL_ERROR;
  }
  ReturnValue = ret;
  {
    // Stored under the lock so a waiter that has just checked the slot
    // cannot miss the wake-up.
    std::lock_guard<std::mutex> guard(FLock);
    ResultSlot->store(ret);
  }
  FDone.notify_all();
}

bool TMyThread::WaitForResult(std::uint32_t Ms) {
  std::unique_lock<std::mutex> lock(FLock);
  return FDone.wait_for(lock, std::chrono::milliseconds(Ms), [this] { return ResultSlot->load() != Pending; });
}

void TMyThread::Join() {
  if (FThread.joinable()) FThread.join();
}

}  // namespace tidewell
