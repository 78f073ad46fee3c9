#include "tests/support/TestServiceManager.h"

#include <thread>

namespace tidewell::test {

int TTestServiceManager::AddService(const platform::TServiceRegistration& r) {
  if (Registered.count(r.Name)) return platform::ErrServiceExists;
  Registered[r.Name] = r;
  return 0;
}

int TTestServiceManager::RemoveService(const std::string& name) {
  return Registered.erase(name) ? 0 : platform::ErrServiceDoesNotExist;
}

int TTestServiceManager::StartDispatcher(const std::vector<std::string>& names, platform::TServiceMain serviceMain) {
  if (DispatchError) return DispatchError;
  std::thread main([&] { serviceMain({names.front()}); });
  main.join();
  return 0;
}

int TTestServiceManager::RegisterControlHandler(const std::string&, platform::TControlHandler handler) {
  if (RegisterError) return RegisterError;
  std::lock_guard<std::mutex> lock(FLock);
  FHandler = std::move(handler);
  FChanged.notify_all();
  return 0;
}

int TTestServiceManager::SetServiceStatus(const std::string&, const platform::TServiceStatusRecord& status) {
  std::lock_guard<std::mutex> lock(FLock);
  FReports.push_back(status);
  FChanged.notify_all();
  return StatusError;
}

int TTestServiceManager::SetStatusText(const std::string&, const std::string& text) {
  std::lock_guard<std::mutex> lock(FLock);
  FTexts.push_back(text);
  return 0;
}

std::vector<std::string> TTestServiceManager::Texts() {
  std::lock_guard<std::mutex> lock(FLock);
  return FTexts;
}

void TTestServiceManager::Send(std::uint32_t code) {
  platform::TControlHandler handler;
  {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait_for(lock, std::chrono::seconds(10), [this] { return static_cast<bool>(FHandler); });
    handler = FHandler;
  }
  if (handler) handler(code);
}

int TTestServiceManager::WaitForState(std::uint32_t state, size_t after, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(FLock);
  int found = -1;
  FChanged.wait_for(lock, timeout, [&] {
    for (size_t i = after; i < FReports.size(); ++i)
      if (FReports[i].CurrentState == state) {
        found = static_cast<int>(i);
        return true;
      }
    return false;
  });
  return found;
}

std::vector<platform::TServiceStatusRecord> TTestServiceManager::Reports() {
  std::lock_guard<std::mutex> lock(FLock);
  return FReports;
}

}  // namespace tidewell::test
